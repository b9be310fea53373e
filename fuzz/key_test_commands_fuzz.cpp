// The key self-test's commands from device-state: whatever text other
// software pushes puts a key under test, or is refused, against the fuzz
// station.
#include "common/oplog.h"
#include "fuzz/fuzz_station.h"
#include "orvanel/core/redis_pool.h"
#include "orvanel/keys/key_self_test.h"
#include "orvanel/records/operation_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz_station::get();
    redis_pool = redis_pool_create(redis_socket);
    set_oplog_push(push_oplog_entry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz_station::get().tidy();
    apply_key_test_text(fuzz_text(data, size));
    return 0;
}
