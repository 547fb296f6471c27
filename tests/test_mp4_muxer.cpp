// The MP4 muxer's output byte for byte: the file head, private records, moov
// sizes, sample tables and sample descriptions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_debug.h"
#include "vrc_mp4_muxer.h"

using namespace mp4_test;

namespace {

// ---- layout of the file head -------------------------------------------

TEST(Mp4MuxerLayout, PlainHeadAsTheConversionWritesIt)
{
    TestMuxer mux(Config{false, false});
    vrc_mp4_muxer_flush(mux.muxer);
    const Bytes head = vrc_test::read_file(mux.path);
    const Bytes expected = {0, 0, 0, 24, 'f', 't', 'y', 'p', 'm', 'p', '4', '2', 0, 0, 0, 0, 'm', 'p', '4', '2',
                            'i', 's', 'o', 'm', 0, 0, 0, 8, 'f', 'r', 'e', 'e', 0, 0, 0, 0, 'm', 'd', 'a', 't'};
    EXPECT_EQ(head, expected);  // the mdat size stays 0 until the tail

    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, 0, annexb({nal(0x41, 10)}, 3)), 0);
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 0, Bytes(160, 0x7F)), 0);
    const Bytes file = mux.finish();
    EXPECT_EQ(be32(file, 32), 8u + 4 + 11 + 160);  // patched to 8 plus every frame unit
    EXPECT_EQ(sample_offsets(file, 0), std::vector<uint32_t>{40});
    EXPECT_EQ(sample_offsets(file, 1), std::vector<uint32_t>{40 + 15});
    const Box moov = find_box(file, "moov");
    EXPECT_EQ(moov.offset + moov.size, file.size());  // moov is the last box
}

TEST(Mp4MuxerLayout, DefaultsWritePrivateRecordsIntoAPreSizedMdat)
{
    TestMuxer mux(Config{true, true});
    const Bytes sps = nal(0x67, 9), pps = nal(0x68, 3), idr = nal(0x65, 50);
    ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 40, annexb({sps, pps, idr}), 0, 0x1234), 0);
    ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 40, Bytes(160, 0x55)), 0);
    const Bytes file = mux.finish();

    // mr00: two 36-byte entries with the muxer's own time pair
    EXPECT_EQ(Bytes(file.begin() + 32, file.begin() + 116),
              cat({u32(84), tag("mr00"), u32(2),
                   {0, 0, VRC_CODEC_H264, VRC_MEDIA_VIDEO}, u32(kCreation), u32(kCreation), u32(kStart), u32(1000),
                   u32(1920), u32(1080), Bytes(8, 0),
                   {0, 0, VRC_CODEC_G711U, VRC_MEDIA_AUDIO}, u32(kCreation), u32(kCreation), u32(kStart), u32(1000),
                   u16(1), u16(16), u32(8000), Bytes(8, 0)}));
    EXPECT_EQ(Bytes(file.begin() + 116, file.begin() + 124), cat({u32(VRC_MUXER_MDAT_SIZE_FIXED), tag("mdat")}));

    // mr01 + mr02 + sample of the key frame: unit size L + 164
    const uint32_t sample = 4 + 51;
    EXPECT_EQ(Bytes(file.begin() + 124, file.begin() + 144),
              cat({u32(sample + 160), tag("mr01"), u32(sample << 8), u32(0x0C7C0434), u32(40)}));
    const Bytes param_sets = cat({u32(132), tag("mr02"), u16(10), u16(4), sps, Bytes(54, 0), pps, Bytes(60, 0)});
    EXPECT_EQ(Bytes(file.begin() + 144, file.begin() + 284), param_sets);
    EXPECT_EQ(Bytes(file.begin() + 284, file.begin() + 284 + sample), cat({u32(51), idr}));
    // the audio frame: mr01 of A + 20, track 1, no zone, then the bytes as they are
    const size_t audio = 284 + sample;
    EXPECT_EQ(Bytes(file.begin() + audio, file.begin() + audio + 20),
              cat({u32(180), tag("mr01"), u32(160 << 8), u32(0x100), u32(40)}));
    EXPECT_EQ(sample_offsets(file, 0), std::vector<uint32_t>{284});
    EXPECT_EQ(sample_offsets(file, 1), std::vector<uint32_t>{uint32_t(audio + 20)});

    EXPECT_EQ(find_box(file, "moov").offset, 116u + VRC_MUXER_MDAT_SIZE_FIXED);  // zero-filled to its size
    EXPECT_EQ(file[116 + VRC_MUXER_MDAT_SIZE_FIXED - 1], 0);
}

// ---- moov sizes and tables ----------------------------------------------

// 250 video frames (every tenth a key frame, SPS 23 and PPS 4 bytes) and 500
// mu-law frames, both 40 ms apart.
Bytes mux_250_and_500(bool private_records)
{
    TestMuxer mux(Config{private_records, false});
    const Bytes key = annexb({nal(0x67, 22), nal(0x68, 3), nal(0x65, 300)});
    for (uint32_t i = 0; i < 500; ++i) {
        if (i < 250) {
            const bool is_key = i % 10 == 0;
            EXPECT_EQ(mux.put(kVideo, is_key ? VRC_FRAME_I : VRC_FRAME_P, i * 40,
                              is_key ? key : annexb({nal(0x41, 100 + i)})), 0);
        }
        EXPECT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40, Bytes(320, 0xFF)), 0);
    }
    return mux.finish();
}

TEST(Mp4MuxerMoov, SizesOfThe250And500FrameRecording)
{
    testing::internal::CaptureStdout();
    const Bytes file = mux_250_and_500(false);
    const std::string out = testing::internal::GetCapturedStdout();
    const std::pair<const char *, uint32_t> sizes[] = {
        {"moov", 7148},
        {"moov/trak[0]", 2616}, {"moov/trak[0]/mdia", 2516}, {"moov/trak[0]/mdia/minf", 2432},
        {"moov/trak[0]/mdia/minf/stbl", 2368}, {"moov/trak[0]/mdia/minf/stbl/stsd", 148},
        {"moov/trak[0]/mdia/minf/stbl/stsd/avc1", 132}, {"moov/trak[0]/mdia/minf/stbl/stsd/avc1/avcC", 46},
        {"moov/trak[0]/mdia/minf/stbl/stts", 32}, {"moov/trak[0]/mdia/minf/stbl/stss", 116},
        {"moov/trak[0]/mdia/minf/stbl/stsc", 28}, {"moov/trak[0]/mdia/minf/stbl/stsz", 1020},
        {"moov/trak[0]/mdia/minf/stbl/stco", 1016},
        {"moov/trak[1]", 4416}, {"moov/trak[1]/mdia/minf/stbl", 4172}, {"moov/trak[1]/mdia/minf/stbl/stsd", 52},
    };
    for (const auto &s : sizes) EXPECT_EQ(find_box(file, s.first).size, s.second) << s.first;
    EXPECT_NE(out.find("trak[0] avc1 test === 86\ntrak[0] avc1 test === 132\ntrak[0] size test === 2616\n"),
              std::string::npos);
    EXPECT_NE(out.find("moov_size's size is 7148\n"), std::string::npos);
}

TEST(Mp4MuxerMoov, SampleTablesFollowTheFrames)
{
    const Bytes file = mux_250_and_500(true);
    EXPECT_EQ(table(file, "moov/trak[0]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{249, 40, 1, 0}));
    std::vector<uint32_t> keys;
    for (uint32_t i = 1; i <= 250; i += 10) keys.push_back(i);
    EXPECT_EQ(table(file, "moov/trak[0]/mdia/minf/stbl/stss"), keys);
    EXPECT_EQ(table(file, "moov/trak[1]/mdia/minf/stbl/stss"), std::vector<uint32_t>{});
    EXPECT_EQ(table(file, "moov/trak[1]/mdia/minf/stbl/stsc"), (std::vector<uint32_t>{1, 1, 1}));
    const std::vector<uint32_t> sizes = sample_sizes(file, 0);
    ASSERT_EQ(sizes.size(), 250u);
    EXPECT_EQ(sizes[0], 4u + 301);
    EXPECT_EQ(sizes[1], 4u + 102);
    // every offset points behind an mr01 record (and an mr02 for key frames)
    // whose first word is the size of its frame unit
    for (uint32_t track : {0u, 1u}) {
        const std::vector<uint32_t> offsets = sample_offsets(file, track);
        const std::vector<uint32_t> lengths = sample_sizes(file, int(track));
        for (size_t i = 0; i < offsets.size(); ++i) {
            const uint32_t extra = track == 0 && i % 10 == 0 ? 160 : 20;
            ASSERT_EQ(be32(file, offsets[i] - extra), lengths[i] + extra) << track << " " << i;
            ASSERT_EQ(be32(file, offsets[i] - extra + 4), 0x6D723031u) << "mr01";
        }
    }
}

TEST(Mp4MuxerMoov, TimesAndDurations)
{
    TestMuxer mux(Config{false, false});
    const uint32_t ts[] = {0, 40, 80, 120, 153};
    for (uint32_t t : ts) mux.put(kVideo, VRC_FRAME_P, 1000 + t, annexb({nal(0x41, 5)}), 1600000000);
    mux.put(kAudio, VRC_FRAME_AUDIO, 1000, Bytes(80, 1), 1600000100);
    mux.put(kAudio, VRC_FRAME_AUDIO, 1160, Bytes(80, 1));
    const Bytes file = mux.finish();
    EXPECT_EQ(table(file, "moov/trak[0]/mdia/minf/stbl/stts"), (std::vector<uint32_t>{3, 40, 1, 33, 1, 0}));
    // running durations pick the movie values: audio 160 + 40 ms lead beats video 153
    const Box mvhd = find_box(file, "moov/mvhd");
    EXPECT_EQ(be32(file, mvhd.offset + 12), 1600000100u + 2082844800u);
    EXPECT_EQ(be32(file, mvhd.offset + 24), 200u);
    const Box tkhd = find_box(file, "moov/trak[0]/tkhd"), mdhd = find_box(file, "moov/trak[1]/mdia/mdhd");
    EXPECT_EQ(be32(file, tkhd.offset + 12), 3682844800u);
    EXPECT_EQ(be32(file, tkhd.offset + 28), 153u);
    EXPECT_EQ(be32(file, mdhd.offset + 24), 160u);  // the track itself counts from its first packet
    EXPECT_EQ(be32(file, tkhd.offset + 84), 1920u << 16);
    EXPECT_EQ(be16(file, find_box(file, "moov/trak[1]/tkhd").offset + 44), 0x0100u);
}

TEST(Mp4MuxerMoov, NoFramesGiveAMoovWithoutTracks)
{
    TestMuxer mux(Config{false, false});
    EXPECT_EQ(find_box(mux.finish(), "moov").size, 116u);
}

// ---- sample descriptions ------------------------------------------------

// One audio frame of 100 bytes on slot 1, so the audio trak is the only one.
Bytes mux_one_audio(uint32_t codec, uint32_t rate)
{
    TestMuxer mux(Config{false, false}, {video_track(), audio_track(codec, rate)});
    const uint8_t type = codec == VRC_CODEC_AAC ? VRC_FRAME_AUDIO_ADTS : VRC_FRAME_AUDIO;
    EXPECT_EQ(mux.put(kAudio, type, 0, Bytes(100, 0x11)), 0);
    return mux.finish();
}

const std::string kAudioEntries = "moov/trak[0]/mdia/minf/stbl/stsd/";

TEST(Mp4MuxerSampleEntry, AvcCCarriesTheCapturedParameterSets)
{
    TestMuxer mux(Config{false, false});
    const Bytes sps = {0x67, 0x42, 0x00, 0x1F, 0xAB, 0xCD}, pps = {0x68, 0xCE, 0x3C, 0x80};
    mux.put(kVideo, VRC_FRAME_I, 0, annexb({sps, pps, nal(0x65, 20)}));
    const Bytes file = mux.finish();
    const Box avcc = find_box(file, "moov/trak[0]/mdia/minf/stbl/stsd/avc1/avcC");
    EXPECT_EQ(Bytes(file.begin() + avcc.offset, file.begin() + avcc.offset + avcc.size),
              cat({u32(19 + 6 + 4), tag("avcC"), {1, 0x42, 0x00, 0x1F, 0xFF, 0xE1}, u16(6), sps, {1}, u16(4), pps}));
    const Box avc1 = find_box(file, "moov/trak[0]/mdia/minf/stbl/stsd/avc1");
    const Bytes compressor = cat({{14}, tag("JVT/"), tag("AVC "), tag("Codi"), {'n', 'g'}, Bytes(17, 0)});
    EXPECT_EQ(Bytes(file.begin() + avc1.offset + 50, file.begin() + avc1.offset + 82), compressor);
}

TEST(Mp4MuxerSampleEntry, MuLawAndAacEntries)
{
    const Bytes ulaw = cat({u32(36), tag("ulaw"), Bytes(6, 0), u16(1), Bytes(8, 0), u16(1), u16(16), Bytes(4, 0),
                            u32(0x1F400000)});
    EXPECT_EQ(box_bytes(mux_one_audio(VRC_CODEC_G711U, 8000), kAudioEntries + "ulaw"), ulaw);
    const std::string log = vrc_test::log_text();
    EXPECT_NE(log.find("j 1 channel 1, bitwidth 16, sample_rate 8000\n"), std::string::npos);

    const Bytes esds8000 = hex("000000000380808025000200048080801740150000000000BB800000A66305808080051588"
                               "56E500068080800102");
    const Bytes esds_other = hex("00000000038080802200020004808080144015000000000097BE000097BE0580808002140806"
                                 "8080800102");
    const Bytes aac8000 = mux_one_audio(VRC_CODEC_AAC, 8000), aac48000 = mux_one_audio(VRC_CODEC_AAC, 48000);
    EXPECT_EQ(box_bytes(aac8000, kAudioEntries + "mp4a").size(), 90u);
    EXPECT_EQ(box_bytes(aac8000, kAudioEntries + "mp4a/esds"), cat({u32(54), tag("esds"), esds8000}));
    EXPECT_EQ(box_bytes(aac48000, kAudioEntries + "mp4a").size(), 87u);
    EXPECT_EQ(box_bytes(aac48000, kAudioEntries + "mp4a/esds"), cat({u32(51), tag("esds"), esds_other}));
    EXPECT_EQ(sample_sizes(aac48000, 0), std::vector<uint32_t>{93});  // ADTS header dropped
}

}  // namespace
