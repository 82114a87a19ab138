#include "entry.h"

int main(int argc, char *argv[])
{
    return wiretest_main(argc, argv);
}
