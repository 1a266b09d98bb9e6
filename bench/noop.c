/* The baseline of the benchmark: a console program that does nothing, linked
   like the shipped programs, so that its time is what starting any program
   costs. */
int wmain(void)
{
    return 0;
}
