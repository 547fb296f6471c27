// Arbitrary bytes as the head of a file: the probe reads only its window and
// answers with one of its scores.
#include <cstdlib>

#include "fuzz_target.h"
#include "vrc_mp4_demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = vrc_fuzz::scratch_path("probe.mp4");
    if (!vrc_fuzz::write_scratch(path, data, size)) return 0;
    const int score = vrc_mp4_demuxer_read_probe(path.c_str());
    const bool known = score == -1 || score == 0 || score == 5 || score == 50 || score == 95 || score == 100;
    if (!known || (size == 0) != (score == -1)) std::abort();
    return 0;
}
