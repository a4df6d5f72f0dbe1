// Fuzz target: the run record reader, on any bytes. Whatever it accepts must
// hold the values the database relies on.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "record.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace zuno::results;
    auto record = parse_record(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!record) {
        if (record.error().empty()) {
            std::abort();
        }
        return 0;
    }
    if (record->run_id.size() != 32 || !is_record_timestamp(record->started) ||
        (record->shard && record->shard->index >= record->shard->count) || record->wall_s < 0) {
        std::abort();
    }
    for (const TestEntry& test : record->tests) {
        if (test.duration_s < 0 || outcome_name(test.outcome).empty()) {
            std::abort();
        }
    }
    return 0;
}
