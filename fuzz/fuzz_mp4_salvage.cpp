// Arbitrary bytes as an MP4 file that lost its moov, repaired with a whole
// file of B-frames in four slices a picture: the walk through mdat must end
// on zeros and garbage without reading out of bounds, and the repair
// either writes its output or says why not.
#include <cstdio>
#include <cstdlib>

#include "fuzz_target.h"
#include "vrc_convert.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string broken = vrc_fuzz::scratch_path("broken.mp4");
    static const std::string output = vrc_fuzz::scratch_path("repaired.mp4");
    if (!vrc_fuzz::write_scratch(broken, data, size)) return 0;
    const char *input = broken.c_str();
    vrc_convert_job_t job{};
    job.size = sizeof job;
    job.inputs = &input;
    job.input_count = 1;
    job.output = output.c_str();
    job.options.flags = VRC_CONVERT_NO_SYNC;
    job.options.line = [](void *, const char *) {};  // the library's lines stay quiet
    job.reference = VRC_FUZZ_SALVAGE_REFERENCE;
    vrc_convert_result_t result{};
    const int rc = vrc_convert_run(&job, &result);
    if (rc != 0 && result.message[0] == '\0') std::abort();
    std::remove(output.c_str());
    return 0;
}
