{ A small Pascal host: reads and sets a few channels of the base board through kvrio.dll, calling
  the register family (the core operations), the pointer family and the double families.

  Build with Delphi or with Free Pascal for 32-bit Windows, with kvr.pas on the unit path:
    fpc -Pi386 -Twin32 -Fu../pascal host.pas
  Define KVREXTIO (-dKVREXTIO) to drive the extended board through kvrextio.dll instead. }
program host;

uses
  kvr;

var
  volts: Double;
  stored: PKvrDouble;

begin
  WriteLn(titre);
  WriteLn(detail);
  WriteLn;

  { Analog input 0: the code 0..255, the same reading in volts, and its name. }
  WriteLn(nea(0), ': code ', ea(0), ', ', ead(0):0:3, ' V');

  { Analog output 1 set in volts; the answer is the voltage the output now gives. }
  WriteLn(nsad(1), ': sad(1, 4.5) -> ', sad(1, 4.5):0:3, ' V');

  { The pointer family: psad reads the volts through the pointer and answers a pointer to the
    result, kept by the DLL. }
  volts := 2.25;
  stored := psad(1, @volts);
  WriteLn(nsad(1), ': psad(1, 2.25) -> ', stored^:0:3, ' V');

  { The double families take the channel first in Pascal, whichever convention they use. }
  WriteLn(nsad(1), ': sadouble(1, 3.0) -> ', sadouble(1, 3.0):0:3, ' V, stdsadouble(1, 3.5) -> ',
    stdsadouble(1, 3.5):0:3, ' V');

  { Digital output 3 switched on and read back; a channel that does not exist answers -777. }
  WriteLn(nsb(3), ': sb(3, 1) -> ', sb(3, 1), ', read back ', rsb(3));
  WriteLn('input 99: ', ea(99), ', name "', nea(99), '"');
end.
