#include "outputd/channel_loop.h"

int main(int argc, char** argv)
{
    outputd_main(argc, argv);
}
