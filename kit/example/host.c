/* A small host: reads and sets a few channels of the base board through kvrio.dll.
 *
 * Build with MinGW:  i686-w64-mingw32-gcc -I../include host.c -o host.exe ../kvrio/libkvrio.dll.a
 * Build with MSVC:   cl /I..\include host.c ..\kvrio\kvrio.lib      (32-bit x86 prompt)
 * For the extended board link with libkvrextio.dll.a or kvrextio.lib instead: the calls are the same.
 *
 * The texts are Windows-1252; printed as they are, they show correctly in a console whose code page
 * is 1252 (chcp 1252). */
#include <stdio.h>

#include "kvr.h"

int main(void)
{
    volatile float volts_single = 2.5f;

    printf("%s\n%s\n\n", stdtitre(), stddetail());

    /* Analog input 0: the code 0..255, the same reading in volts, and its name. */
    printf("%-24s code %d, %.3f V\n", stdnea(0), stdea(0), stdead(0));
    printf("%-24s %.3f V (double form)\n", stdneadouble(2.0), stdeadouble(2.0));
    printf("%-24s %.3f V (single form)\n", stdnea(1), (double)stdeas(1));

    /* Analog output 1 set three ways; each call answers the voltage the output now gives. */
    printf("%-24s stdsad(1, 4.5)       -> %.3f V\n", stdnsad(1), stdsad(1, 4.5));
    printf("%-24s stdsadouble(1, 3.0)  -> %.3f V\n", stdnsadouble(1.0), stdsadouble(1.0, 3.0));
    /* sadouble is declared with its parameters reversed: the channel comes LAST. */
    printf("%-24s sadouble(2.0, 1.0)   -> %.3f V\n", nsadouble(1.0), sadouble(2.0, 1.0));
    printf("%-24s stdsas(0, 2.5f)      -> %.3f V, read back %.3f V\n", stdnsad(0),
           (double)stdsas(0, volts_single), stdrsad(0));

    /* Digital output 3 switched on, and digital input 0. */
    printf("%-24s stdsb(3, 1) -> %d, read back %d\n", stdnsb(3), stdsb(3, 1), stdrsb(3));
    printf("%-24s %d\n", stdneb(0), stdeb(0));

    /* A channel that does not exist answers -777 and an empty name. */
    printf("input 99: %d, name \"%s\"\n", stdea(99), stdnea(99));
    return 0;
}
