#include "orvanel/startup.h"

int main(int argc, char** argv)
{
    orvanel_main(argc, argv);
}
