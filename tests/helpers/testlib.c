/* A small shared library for helper processes to map. */
int vrix_testlib_value(void)
{
    return 42;
}
