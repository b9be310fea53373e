#include "simulator/uasim/user_agent.h"

int main(int argc, char** argv)
{
    return uasim_main(argc, argv);
}
