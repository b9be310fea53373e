// The messages on next_hop_queue. The call events and the no-reply timer post
// them; Next_intercom takes them off and decides what the chain of next
// numbers does.
#pragma once

enum next_hop_message : int {
    // The next number of the chain is due. Nothing in the station posts it
    // any more; Next_intercom still takes it as it takes a retry.
    HOP_NEXT_NUMBER_DUE = 1,
    // A busy or unavailable call's retry time has passed.
    HOP_RETRY_DUE = 2,
    // The station hung up a call that nobody answered.
    HOP_NO_REPLY_HUNG_UP = 3,
    // The call was hung up with the key: the chain starts from its beginning.
    HOP_KEY_HUNG_UP = 4,
};
