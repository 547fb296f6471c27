// Conversions running at once share nothing but the log: eight threads each
// convert a different recording while another keeps copying the log ring,
// and every output equals the one a conversion alone writes. The
// ThreadSanitizer build runs this too.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "legacy_record_packer.h"
#include "test_support.h"
#include "vrc_convert.h"
#include "vrc_debug.h"

namespace {

TEST(ConcurrentConvert, EightThreadsWriteWhatOneWrites)
{
    const std::string data = VRC_TEST_DATA_DIR "/";
    const std::vector<uint8_t> audio = vrc_test::read_file(data + "tone_8000hz_mulaw.ul");
    std::vector<std::string> inputs;
    std::vector<std::vector<uint8_t>> alone;
    for (const char *stream : {"cam_320x240_25fps.h264", "cam_320x240_slices4.h264", "cam_320x240_aud.h264",
                               "cam_704x576_4x3.h264"}) {
        const std::vector<uint8_t> video = vrc_test::read_file(data + stream);
        for (const uint32_t fps : {25u, 30u}) {
            inputs.push_back(vrc_test::temp_path(stream + std::to_string(fps) + ".rec"));
            const auto frames = vrc_pack::plan_frames(video, audio, fps, vrc_pack::kDefaultStart + fps);
            vrc_test::write_file(inputs.back(), vrc_pack::pack_recording(frames, {}).bytes);
            vrc_test::printed_by([&] { EXPECT_EQ(vrc_convert_mp4(inputs.back().c_str()), 0); });
            alone.push_back(vrc_test::read_file(inputs.back() + ".mp4"));
        }
    }

    std::atomic<bool> converting{true};
    std::thread log_reader([&] {
        std::vector<char> ring(20000);
        while (converting) EXPECT_GE(vrc_log_copy(ring.data(), static_cast<int>(ring.size())), 0);
    });
    std::vector<int> results(inputs.size(), -99);
    vrc_test::printed_by([&] {
        std::vector<std::thread> threads;
        for (size_t i = 0; i < inputs.size(); ++i)
            threads.emplace_back([&, i] {
                results[i] = vrc_convert_mp4_file(inputs[i].c_str(), (inputs[i] + ".mt.mp4").c_str(), nullptr, nullptr);
            });
        for (std::thread &t : threads) t.join();
    });
    converting = false;
    log_reader.join();
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(results[i], 0) << inputs[i];
        EXPECT_TRUE(vrc_test::read_file(inputs[i] + ".mt.mp4") == alone[i]) << inputs[i];
    }
}

}  // namespace
