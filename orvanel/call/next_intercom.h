// Next-number dialing. Each call key has up to five numbers: the key dials
// the first, and Next_intercom dials numbers 2 to 5 one after another when a
// call of the chain is not answered in time or ends busy or unavailable. The
// thread waits on next_hop_queue; its only state is the chain position.
#pragma once

// Thread entry; never returns.
void Next_intercom();

// What one next-hop message does. position counts the next numbers dialled
// in the current chain (0 to 4); the next number to try is position + 2.
void on_next_hop_message(int type, int& position);
