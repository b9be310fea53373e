// The loop that takes relay requests from output-channel, oldest first, on
// the main thread for ever.
#pragma once

// Never returns. Only a first connection that fails ends the process (status
// 255); a connection lost later is made anew after a pause.
[[noreturn]] void output_channel_loop();
