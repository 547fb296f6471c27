// Arbitrary bytes as a legacy recording: every frame the demuxer delivers
// fits the buffer it was given, and the scan ends.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_target.h"
#include "vrc_debug.h"
#include "vrc_oldrecord_demuxer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = vrc_fuzz::scratch_path("input.rec");
    if (!vrc_fuzz::write_scratch(path, data, size)) return 0;
    vrc_log_set_level(VRC_LOG_ERR);
    vrc_oldrecord_demuxer_t *demuxer = vrc_oldrecord_demuxer_new(path.c_str());
    if (!demuxer) return 0;
    // A small capacity, so oversized frames are common; exactly that much memory.
    demuxer->buffer_size = 4096;
    std::vector<uint8_t> payload(demuxer->buffer_size);
    vrc_media_packet_t packet;
    // Each delivered frame or failed payload read moves the scan forward, so
    // this ends; the bound only guards against a regression that loops.
    for (size_t reads = 0; reads <= size + 1; ++reads) {
        const int rc = vrc_oldrecord_demuxer_read_packet(demuxer, &packet, payload.data());
        if (rc == VRC_ERR_OLDREC_EOF) break;
        if (rc == 0 && packet.size > demuxer->buffer_size) std::abort();
    }
    vrc_oldrecord_demuxer_free(demuxer);
    return 0;
}
