#include "run.h"

int main(int argc, char **argv)
{
    return vrix_main(argc, argv);
}
