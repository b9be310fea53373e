#include "outputd/startup.h"

int main(int argc, char** argv)
{
    outputd_main(argc, argv);
}
