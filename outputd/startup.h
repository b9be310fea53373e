// Start-up of outputd: the command line, the operation-log push over the
// command link, the relay's state at start, the GPIO writer thread, and then
// the channel loop on the main thread for ever.
#pragma once

[[noreturn]] void outputd_main(int argc, char** argv);
