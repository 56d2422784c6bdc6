// Fuzz builds only: the libFuzzer entry point, which runs the target's own (renamed to
// velmoraFuzzEntry by fuzz/CMakeLists.txt) unless VELMORA_FUZZ_PLANT_CRASH names this program,
// in which case any input of two bytes or more aborts. scripts/fuzz.sh's test uses it to prove
// that a crashing input fails the run; replay builds and the library never see it.

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#undef LLVMFuzzerTestOneInput
extern "C" int velmoraFuzzEntry(const uint8_t* data, size_t size);

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool planted = [] {
        const char* target = std::getenv("VELMORA_FUZZ_PLANT_CRASH");
        return target && std::strcmp(target, program_invocation_short_name) == 0;
    }();
    if (planted && size >= 2)
        std::abort();
    return velmoraFuzzEntry(data, size);
}
