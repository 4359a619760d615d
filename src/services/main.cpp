#include "services.h"

int main(int argc, char **argv)
{
    return services_main(argc, argv);
}
