// Conversions running at once share nothing but the log and the AAC
// encoder's libraries: eight threads each convert a different recording,
// half of them to AAC, while another keeps copying the log ring, and every
// output equals the one a conversion alone writes. The AAC conversions are
// the process's first: they race to open the encoder. The ThreadSanitizer
// build runs this too.
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

int convert(const std::string &input, const std::string &output, size_t i)
{
    vrc_convert_options_t options{};
    options.flags = VRC_TEST_HAVE_AAC && i % 2 == 1 ? VRC_CONVERT_AUDIO_AAC : 0;
    return vrc_convert_mp4_file(input.c_str(), output.c_str(), &options, nullptr);
}

TEST(ConcurrentConvert, EightThreadsWriteWhatOneWrites)
{
    const std::string data = VRC_TEST_DATA_DIR "/";
    const std::vector<uint8_t> audio = vrc_test::read_file(data + "tone_8000hz_mulaw.ul");
    std::vector<std::string> inputs;
    for (const char *stream : {"cam_320x240_25fps.h264", "cam_320x240_slices4.h264", "cam_320x240_aud.h264",
                               "cam_704x576_4x3.h264"}) {
        const std::vector<uint8_t> video = vrc_test::read_file(data + stream);
        for (const uint32_t fps : {25u, 30u}) {
            inputs.push_back(vrc_test::temp_path(stream + std::to_string(fps) + ".rec"));
            const auto frames = vrc_pack::plan_frames(video, audio, fps, vrc_pack::kDefaultStart + fps);
            vrc_test::write_file(inputs.back(), vrc_pack::pack_recording(frames, {}).bytes);
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
                results[i] = convert(inputs[i], inputs[i] + ".mt.mp4", i);
            });
        for (std::thread &t : threads) t.join();
    });
    converting = false;
    log_reader.join();
    for (size_t i = 0; i < inputs.size(); ++i) {
        EXPECT_EQ(results[i], 0) << inputs[i];
        vrc_test::printed_by([&] { EXPECT_EQ(convert(inputs[i], inputs[i] + ".mp4", i), 0); });
        EXPECT_TRUE(vrc_test::read_file(inputs[i] + ".mt.mp4") == vrc_test::read_file(inputs[i] + ".mp4")) << inputs[i];
    }
}

}  // namespace
