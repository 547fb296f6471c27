// The MP4 muxer's output byte for byte: the file head, private records, moov
// sizes, sample tables and sample descriptions.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "mp4_test_support.h"
#include "test_support.h"
#include "vrc_mp4_muxer.h"

using namespace mp4_test;

namespace {

const std::string kStbl[] = {"moov/trak[0]/mdia/minf/stbl/", "moov/trak[1]/mdia/minf/stbl/"};

// One key frame and one audio frame, as the conversion writes them (plain)
// and as a recorder does (private records into a pre-sized mdat).
TEST(Mp4MuxerLayout, HeadAndFrameUnitsWithAndWithoutPrivateRecords)
{
    const Bytes sps = nal(0x67, 9), pps = nal(0x68, 3), idr = nal(0x65, 50), audio(160, 0x55);
    const Bytes head = cat({u32(24), tag("ftyp"), tag("mp42"), u32(0), tag("mp42"), tag("isom"), u32(8), tag("free")});
    // two 36-byte entries with the muxer's own time pair
    const Bytes mr00 = cat({u32(84), tag("mr00"), u32(2),
                            {0, 0, VRC_CODEC_H264, VRC_MEDIA_VIDEO}, u32(kCreation), u32(kCreation), u32(kStart),
                            u32(1000), u32(1920), u32(1080), Bytes(8, 0),
                            {0, 0, VRC_CODEC_G711U, VRC_MEDIA_AUDIO}, u32(kCreation), u32(kCreation), u32(kStart),
                            u32(1000), u16(1), u16(16), u32(8000), Bytes(8, 0)});
    const Bytes sample = cat({u32(51), idr});  // the 3-byte start codes became one 4-byte length
    // mr01 holds the unit size (L + 164 for a key frame), the frame record
    // (size; seq 0x34, track, key frame, zone; timestamp), mr02 both
    // parameter sets in 64-byte arrays
    const Bytes video_records = cat({u32(55 + 160), tag("mr01"), u32(55 << 8), u32(0x0C7C0434), u32(40), u32(132),
                                     tag("mr02"), u16(10), u16(4), sps, Bytes(54, 0), pps, Bytes(60, 0)});
    const Bytes audio_record = cat({u32(180), tag("mr01"), u32(160 << 8), u32(0x100), u32(40)});
    for (const bool records : {false, true}) {
        TestMuxer mux(Config{records, records});
        vrc_mp4_muxer_flush(mux.muxer);
        // a pre-sized mdat has its final size, any other is patched at the tail
        const Bytes mdat = cat({u32(records ? VRC_MUXER_MDAT_SIZE_FIXED : 0), tag("mdat")});
        EXPECT_EQ(vrc_test::read_file(mux.path), cat({head, records ? mr00 : Bytes{}, mdat}));

        ASSERT_EQ(mux.put(kVideo, VRC_FRAME_I, 40, annexb({sps, pps, idr}, 3), 0, 0x1234), 0);
        ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, 40, audio), 0);
        const Bytes file = mux.finish();
        const Bytes expected = records ? cat({head, mr00, mdat, video_records, sample, audio_record, audio})
                                       : cat({head, u32(8 + 55 + 160), tag("mdat"), sample, audio});
        EXPECT_EQ(Bytes(file.begin(), file.begin() + std::min(file.size(), expected.size())), expected);
        const uint32_t video_at = records ? 284 : 40, audio_at = video_at + 55 + (records ? 20 : 0);
        EXPECT_EQ(sample_offsets(file, 0), std::vector<uint32_t>{video_at});
        EXPECT_EQ(sample_offsets(file, 1), std::vector<uint32_t>{audio_at});
        // moov is last, behind the zero-filled rest of a pre-sized mdat
        const Box moov = find_box(file, "moov");
        ASSERT_EQ(moov.offset, records ? 116 + VRC_MUXER_MDAT_SIZE_FIXED : expected.size());
        EXPECT_EQ(moov.offset + moov.size, file.size());
        EXPECT_EQ(size_t(std::count(file.begin() + expected.size(), file.begin() + moov.offset, 0)),
                  moov.offset - expected.size());
    }
}

// 250 video frames (every tenth a key frame, SPS 23 and PPS 4 bytes) and 500
// mu-law frames, both 40 ms apart from 0. Audio is stamped at its end, so it
// plays from -40 ms and the video waits behind a 40 ms empty edit. An empty
// recording has mvhd alone.
TEST(Mp4MuxerMoov, The250And500FrameRecording)
{
    TestMuxer empty(Config{false, false});
    EXPECT_EQ(find_box(empty.finish(), "moov").size, 116u);
    Bytes file;
    const std::string printed = vrc_test::printed_by([&file] {
        TestMuxer mux(Config{true, false});
        const Bytes key = annexb({nal(0x67, 22), nal(0x68, 3), nal(0x65, 300)});
        for (uint32_t i = 0; i < 500; ++i) {
            if (i < 250) {
                ASSERT_EQ(mux.put(kVideo, i % 10 ? VRC_FRAME_P : VRC_FRAME_I, i * 40,
                                  i % 10 ? annexb({nal(0x41, 100 + i)}) : key, 1600000000), 0);
            }
            ASSERT_EQ(mux.put(kAudio, VRC_FRAME_AUDIO, i * 40, Bytes(320, 0xFF), 1600000100), 0);
        }
        file = mux.finish();
    });
    const std::pair<std::string, uint32_t> sizes[] = {
        {"moov", 7164}, {"moov/trak[0]", 2656}, {"moov/trak[0]/edts", 48}, {"moov/trak[0]/mdia", 2508},
        {"moov/trak[0]/mdia/minf", 2424}, {kStbl[0], 2360}, {kStbl[0] + "stsd", 148}, {kStbl[0] + "stsd/avc1", 132},
        {kStbl[0] + "stsd/avc1/avcC", 46}, {kStbl[0] + "stts", 24}, {kStbl[0] + "stss", 116}, {kStbl[0] + "stsc", 28},
        {kStbl[0] + "stsz", 1020}, {kStbl[0] + "stco", 1016}, {"moov/trak[1]", 4392}, {"moov/trak[1]/edts", 0},
        {kStbl[1], 4148}, {kStbl[1] + "stsd", 52}, {kStbl[1] + "stss", 0},
    };
    for (const auto &s : sizes) EXPECT_EQ(find_box(file, s.first).size, s.second) << s.first;
    EXPECT_NE(printed.find("trak[0] avc1 test === 86\ntrak[0] avc1 test === 132\ntrak[0] size test === 2656\n"),
              std::string::npos);
    EXPECT_NE(printed.find("moov_size's size is 7164\n"), std::string::npos);
    // times since 1904 from a track's first packet; the movie lasts until the
    // end of its longer track, every sample lasting 40 ms
    const size_t mvhd = find_box(file, "moov/mvhd").offset, tkhd = find_box(file, "moov/trak[0]/tkhd").offset;
    EXPECT_EQ(be32(file, mvhd + 12), 1600000100u + 2082844800u);
    EXPECT_EQ(be32(file, mvhd + 24), 20000u);
    EXPECT_EQ(be32(file, tkhd + 12), 1600000000u + 2082844800u);
    EXPECT_EQ(be32(file, tkhd + 28), 10040u);
    EXPECT_EQ(be32(file, find_box(file, "moov/trak[1]/mdia/mdhd").offset + 24), 20000u);
    EXPECT_EQ(table(file, "moov/trak[0]/edts/elst"), (std::vector<uint32_t>{40, 0xFFFFFFFF, 0x10000, 10000, 0, 0x10000}));

    std::vector<uint32_t> keys, video_sizes;
    for (uint32_t i = 0; i < 250; ++i) {
        if (i % 10 == 0) keys.push_back(i + 1);
        video_sizes.push_back(i % 10 ? 4 + 101 + i : 4 + 301);
    }
    EXPECT_EQ(table(file, kStbl[0] + "stts"), (std::vector<uint32_t>{250, 40}));
    EXPECT_EQ(table(file, kStbl[0] + "stss"), keys);
    EXPECT_EQ(table(file, kStbl[1] + "stsc"), (std::vector<uint32_t>{1, 1, 1}));
    EXPECT_EQ(sample_sizes(file, 0), video_sizes);
    // every offset points behind an mr01 record (and an mr02 for key frames)
    // whose first word is the size of its frame unit
    for (int track : {0, 1}) {
        const std::vector<uint32_t> offsets = sample_offsets(file, track), lengths = sample_sizes(file, track);
        ASSERT_EQ(offsets.size(), track ? 500u : 250u);
        for (size_t i = 0; i < offsets.size(); ++i) {
            const uint32_t records = track == 0 && i % 10 == 0 ? 160 : 20;
            ASSERT_EQ(be32(file, offsets[i] - records), lengths.at(i) + records) << track << " " << i;
            ASSERT_EQ(be32(file, offsets[i] - records + 4), be32(tag("mr01"), 0));
        }
    }
}

// Sample durations from the stamps, damaged and unusual ones among them: the
// stts runs, and the WARN that counts the repaired steps. The mr01 records
// keep every stamp as it came.
TEST(Mp4MuxerMoov, SampleDurationsFromTheStamps)
{
    const struct {
        std::vector<uint32_t> stamps;
        std::vector<uint32_t> stts;
        uint32_t repaired;
    } cases[] = {
        {{0, 40, 80, 120}, {4, 40}, 0},
        {{0, 40, 80, 3600120, 160, 200}, {6, 40}, 1},             // one stamp an hour ahead
        {{0, 40, 80, 80 - 3600000u, 160, 200}, {6, 40}, 1},       // ... or behind
        {{5000, 5040, 5080, 1000, 1040}, {5, 40}, 1},             // the clock set back
        {{3600000, 40, 80, 120}, {4, 40}, 1},                     // the first stamp astray
        {{0, 40, 80, 3600120}, {4, 40}, 1},                       // the last stamp astray
        {{0, 40, 180040, 180080}, {1, 40, 1, 180000, 2, 40}, 0},  // a pause
        {{0, 5000, 10000, 15000}, {4, 5000}, 0},                  // a slow camera
        {{0xFFFFFFB0, 0xFFFFFFD8, 0, 40}, {4, 40}, 0},            // stamps wrapping around
        {{7}, {1, 40}, 0},
    };
    for (const auto &c : cases) {
        TestMuxer mux(Config{true, false});
        for (uint32_t stamp : c.stamps) ASSERT_EQ(mux.put(kVideo, VRC_FRAME_P, stamp, annexb({nal(0x41, 10)})), 0);
        const LogMark log;
        const Bytes file = mux.finish();
        EXPECT_EQ(table(file, kStbl[0] + "stts"), c.stts) << c.stamps[0] << " " << c.stamps.size();
        const std::string warn = "track 0: " + std::to_string(c.repaired) + " timestamp steps";
        EXPECT_EQ(log.since().find(warn) != std::string::npos, c.repaired != 0) << log.since();
        for (size_t i = 0; i < c.stamps.size(); ++i)
            EXPECT_EQ(be32(file, sample_offsets(file, 0)[i] - 4), c.stamps[i]);  // mr01 word 2
    }
}

// One audio frame of 100 bytes on slot 1, so the audio trak is the only one.
TEST(Mp4MuxerSampleEntry, MuLawAndAacEntries)
{
    const struct {
        uint32_t codec, rate;
        std::string type;
        Bytes esds;
    } cases[] = {
        {VRC_CODEC_G711U, 8000, "ulaw", {}},
        {VRC_CODEC_AAC, 8000, "mp4a",
         hex("00000036657364730000000003808080250002000480808017401500000000"
             "00BB800000A6630580808005158856E500068080800102")},
        {VRC_CODEC_AAC, 48000, "mp4a",
         hex("000000336573647300000000038080802200020004808080144015000000"
             "000097BE000097BE05808080021188068080800102")},
        {VRC_CODEC_AAC, 9000, "mp4a",  // no entry in AAC's rate table: written out in 24 bits
         hex("000000366573647300000000038080802500020004808080174015000000"
             "000097BE000097BE05808080051780119408068080800102")},
    };
    for (const auto &c : cases) {
        TestMuxer mux(Config{false, false}, {video_track(), audio_track(c.codec, c.rate)});
        const bool aac = c.codec == VRC_CODEC_AAC;
        ASSERT_EQ(mux.put(kAudio, aac ? VRC_FRAME_AUDIO_ADTS : VRC_FRAME_AUDIO, 0, Bytes(100, 0x11)), 0);
        const Bytes file = mux.finish();
        const Bytes entry = cat({u32(uint32_t(36 + c.esds.size())), Bytes(c.type.begin(), c.type.end()), Bytes(6, 0),
                                 u16(1), Bytes(8, 0), u16(1), u16(16), Bytes(4, 0), u32(c.rate << 16), c.esds});
        EXPECT_EQ(box_bytes(file, kStbl[0] + "stsd/" + c.type), entry) << c.type << " " << c.rate;
        EXPECT_EQ(sample_sizes(file, 0), std::vector<uint32_t>{aac ? 93u : 100u});  // ADTS header dropped
    }
    EXPECT_NE(vrc_test::log_text().find("j 1 channel 1, bitwidth 16, sample_rate 8000\n"), std::string::npos);
}

}  // namespace
