// The MP4 reader judged by ffprobe and ffmpeg on ordinary MP4 files: each
// sample's decode time, presentation time (decode time plus composition
// offset), duration and key flag as ffprobe reads them without the edit
// list; each track's edit as the shift and length ffprobe applies; the
// timescale, channels, rate and picture size it reports; and a track whose
// picture size changes delivered as pictures that decode as the file's own.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ffmpeg_tools.h"
#include "test_support.h"
#include "vrc_media.h"
#include "vrc_mp4_reader.h"

#if !defined(_WIN32) && defined(VRC_TOOL_PATH)

namespace {

using vrc_test::run;

const std::string kDataDir = VRC_TEST_DATA_DIR;

struct Sample {
    int64_t dts, pts;
    int64_t duration;
    bool key;
    bool operator==(const Sample &o) const { return dts == o.dts && pts == o.pts && duration == o.duration && key == o.key; }
};

std::ostream &operator<<(std::ostream &os, const Sample &s)
{
    return os << "{dts " << s.dts << ", pts " << s.pts << ", duration " << s.duration << (s.key ? ", key}" : "}");
}

struct Reading {
    std::vector<vrc_mp4_track_t> tracks;
    std::vector<std::vector<vrc_mp4_edit_t>> edits;  // per track
    std::vector<std::vector<Sample>> samples;        // per track, in decode order
    std::vector<uint32_t> descriptions;              // of track 0's samples
    std::vector<uint8_t> video;                      // track 0 as delivered
};

Reading read_all(const std::string &path)
{
    Reading r;
    vrc_mp4_reader_t *reader = vrc_mp4_reader_open(path.c_str());
    EXPECT_NE(reader, nullptr) << path;
    if (!reader) return r;
    for (uint32_t t = 0; int(t) < vrc_mp4_reader_track_count(reader); ++t) {
        vrc_mp4_track_t track{sizeof track, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        EXPECT_EQ(vrc_mp4_reader_track(reader, t, &track), 0);
        r.tracks.push_back(track);
        r.edits.emplace_back(track.edits);
        for (uint32_t e = 0; e < track.edits; ++e) {
            r.edits[t][e].size = sizeof(vrc_mp4_edit_t);
            EXPECT_EQ(vrc_mp4_reader_edit(reader, t, e, &r.edits[t][e]), 0);
        }
    }
    r.samples.resize(r.tracks.size());
    std::vector<uint8_t> buf(1 << 16);
    vrc_mp4_sample_t s{};
    s.size = sizeof s;
    int rc;
    while ((rc = vrc_mp4_reader_read(reader, buf.data(), uint32_t(buf.size()), &s)) == 0) {
        r.samples.at(s.track).push_back({s.decode_time, s.decode_time + s.composition_offset, s.duration, s.key_frame != 0});
        if (s.track != 0) continue;
        r.descriptions.push_back(s.description);
        r.video.insert(r.video.end(), buf.begin(), buf.begin() + s.bytes);
    }
    EXPECT_EQ(rc, VRC_MP4_READER_END);
    vrc_mp4_reader_close(reader);
    return r;
}

// ffprobe's packets of each stream, in decode order.
std::vector<std::vector<Sample>> probe_packets(const std::string &path, const std::string &options)
{
    std::vector<std::vector<Sample>> streams;
    std::istringstream lines(run("ffprobe -v error " + options +
                                 " -show_entries packet=stream_index,pts,dts,duration,flags -of csv=p=0 '" + path + "'"));
    for (std::string line; std::getline(lines, line);) {
        unsigned stream;
        long long pts, dts, duration;
        char key;
        if (std::sscanf(line.c_str(), "%u,%lld,%lld,%lld,%c", &stream, &pts, &dts, &duration, &key) != 5) continue;
        if (streams.size() <= stream) streams.resize(stream + 1);
        streams[stream].push_back({dts, pts, duration, key == 'K'});
    }
    return streams;
}

// ffprobe's stream fields, as "streams.stream.N.field" = value.
std::map<std::string, std::string> probe_streams(const std::string &path)
{
    std::map<std::string, std::string> fields;
    std::istringstream lines(run("ffprobe -v error -show_entries stream=time_base,channels,sample_rate,width,height,duration "
                                 "-of flat '" + path + "'"));
    for (std::string line; std::getline(lines, line);) {
        const size_t eq = line.find('=');
        if (eq == std::string::npos) continue;
        std::string value = line.substr(eq + 1);
        if (!value.empty() && value[0] == '"') value = value.substr(1, value.size() - 2);
        fields[line.substr(0, eq)] = value;
    }
    return fields;
}

// B-frames in two pyramids, an edit list from a cut, AAC whose sample entry
// says two channels for a mono sound, two picture sizes in one track; and
// the library's own outputs of them (read what it writes); B-frames in
// fragments, their key frames flagged by each run's first sample.
TEST(Mp4Reader, TimesEditsAndDescriptionsAsFfprobeReadsThem)
{
    SKIP_WITHOUT_FFMPEG();
    std::vector<std::string> paths = {vrc_test::temp_path("fragmented.mp4")};
    run("ffmpeg -v error -y -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 -c:v libx264 -bf 2 -g 25 -pix_fmt yuv420p "
        "-movflags frag_keyframe+empty_moov+default_base_moof '" + paths[0] + "'");
    for (const char *name : {"ffmpeg_bframes_slices4.mp4", "ffmpeg_x264_cut.mp4", "ffmpeg_aac16k_mono.mp4",
                             "two_picture_sizes.mp4"}) {
        paths.push_back(kDataDir + "/" + name);
        paths.push_back(vrc_test::temp_path(std::string("converted_") + name));
        run(std::string(VRC_TOOL_PATH) + " -q -o '" + paths.back() + "' '" + paths[paths.size() - 2] + "'");
    }
    for (const std::string &path : paths) {
        SCOPED_TRACE(path);
        const Reading r = read_all(path);
        const auto raw = probe_packets(path, "-ignore_editlist 1");
        const auto applied = probe_packets(path, "");
        auto fields = probe_streams(path);
        ASSERT_EQ(r.samples.size(), raw.size());
        for (size_t t = 0; t < raw.size(); ++t) {
            SCOPED_TRACE("track " + std::to_string(t));
            const std::string at = "streams.stream." + std::to_string(t) + ".";
            const vrc_mp4_track_t &track = r.tracks[t];
            EXPECT_EQ(r.samples[t], raw[t]);
            EXPECT_EQ(track.samples, raw[t].size());
            EXPECT_EQ("1/" + std::to_string(track.timescale), fields[at + "time_base"]);
            if (track.media_type == VRC_MEDIA_VIDEO)
                EXPECT_EQ(std::to_string(track.width) + "x" + std::to_string(track.height),
                          fields[at + "width"] + "x" + fields[at + "height"]);
            else
                EXPECT_EQ(std::to_string(track.channels) + " " + std::to_string(track.sample_rate),
                          fields[at + "channels"] + " " + fields[at + "sample_rate"]);
            // ffprobe moves every packet back by the first media edit's
            // media time, on by the empty edits in front of it, and ends the
            // stream with the edits.
            int64_t shift = 0;
            uint64_t empty = 0, length = 0;
            for (const vrc_mp4_edit_t &e : r.edits[t]) {
                if (e.media_time == VRC_MP4_EMPTY_EDIT && !shift) empty += e.duration;
                if (e.media_time != VRC_MP4_EMPTY_EDIT && !shift) shift = e.media_time;
                length += e.duration;
            }
            shift -= int64_t(empty * track.timescale / track.movie_timescale);
            EXPECT_EQ(raw[t][0].pts - applied[t][0].pts, shift);
            if (length) {
                EXPECT_NEAR(double(length) / track.movie_timescale, std::stod(fields[at + "duration"]), 1e-6);
            }
        }
    }
}

// Each picture size has its own sample description, in the fixture and in
// the library's output of it; the key frames of the second carry its
// parameter sets, so the delivered stream decodes silently to the pictures
// of the file, at their own sizes.
TEST(Mp4Reader, PictureSizeChangeDecodesAsTheFile)
{
    SKIP_WITHOUT_FFMPEG();
    const std::string fixture = kDataDir + "/two_picture_sizes.mp4";
    const std::string converted = vrc_test::temp_path("converted_two_sizes.mp4");
    run(std::string(VRC_TOOL_PATH) + " -q -o '" + converted + "' '" + fixture + "'");
    for (const std::string &path : {fixture, converted}) {
        SCOPED_TRACE(path);
        const Reading r = read_all(path);
        ASSERT_EQ(r.tracks.size(), 1u);
        EXPECT_EQ(r.tracks[0].descriptions, 2u);
        std::vector<uint32_t> want(10, 0);
        want.resize(20, 1);
        EXPECT_EQ(r.descriptions, want);
        const std::string stream = vrc_test::temp_path("two_sizes.h264");
        vrc_test::write_file(stream, r.video);
        const std::vector<std::string> file = vrc_test::frame_hashes(path);
        EXPECT_EQ(file.size(), 20u);
        EXPECT_EQ(vrc_test::frame_hashes(stream), file);
    }
}

// ffmpeg's files without moov (every top-level box kept but moov),
// repaired with a shorter file of the same settings: every picture (of one
// slice or of four) comes back and decodes, every sound frame (mu-law in
// ffmpeg's chunks, AAC frame by frame) at its time, within a millisecond.
TEST(Mp4Reader, RepairWithReferenceRecoversPicturesAndSound)
{
    SKIP_WITHOUT_FFMPEG();
    const struct {
        const char *name, *audio;
    } cases[] = {{"salvage.mov", "-c:a pcm_mulaw -f mov"},
                 {"slices.mov", "-x264-params slices=4 -c:a pcm_mulaw -f mov"},
                 {"salvage.mp4", "-c:a aac"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string whole = vrc_test::temp_path(std::string("whole_") + c.name);
        const std::string good = vrc_test::temp_path(std::string("good_") + c.name);
        const std::string broken = vrc_test::temp_path(std::string("broken_") + c.name);
        const std::string out = vrc_test::temp_path(std::string("repaired_") + c.name + ".mp4");
        for (const auto &made : {std::make_pair(whole, "4"), std::make_pair(good, "2")})
            run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=25 -f lavfi -i sine=sample_rate=8000 -t " +
                std::string(made.second) + " -c:v libx264 -pix_fmt yuv420p " + c.audio + " '" + made.first + "'");
        const std::vector<uint8_t> bytes = vrc_test::read_file(whole);
        std::vector<uint8_t> kept;
        for (size_t pos = 0; pos + 8 <= bytes.size();) {
            const size_t size = size_t{bytes[pos]} << 24 | size_t{bytes[pos + 1]} << 16 | size_t{bytes[pos + 2]} << 8 |
                                bytes[pos + 3];
            if (size < 8 || size > bytes.size() - pos) break;
            if (std::string(bytes.begin() + pos + 4, bytes.begin() + pos + 8) != "moov")
                kept.insert(kept.end(), bytes.begin() + pos, bytes.begin() + pos + size);
            pos += size;
        }
        vrc_test::write_file(broken, kept);
        std::remove(out.c_str());
        run(std::string(VRC_TOOL_PATH) + " repair --reference '" + good + "' '" + broken + "' -o '" + out + "'");
        const std::vector<std::vector<Sample>> packets = probe_packets(out, "");
        ASSERT_FALSE(packets.empty());
        EXPECT_EQ(packets[0].size(), 100u);
        const std::vector<Sample> sound = probe_packets(whole, "")[1];
        ASSERT_EQ(packets.size() > 1 ? packets[1].size() : 0u, sound.size());
        for (size_t i = 0; i < sound.size(); ++i) EXPECT_NEAR(packets[1][i].pts, sound[i].pts, 8) << i;
        EXPECT_EQ(vrc_test::frame_hashes(out).size(), 100u);
        // A camera that sized its mdat ahead leaves zeros behind the last
        // bytes written: the picture cut there is dropped, not decoded. Bytes
        // of a damaged card are not taken for sound.
        uint32_t noise = 1;
        for (const char *streams : {"", "-map 0:a"}) {
            const bool zeros = *streams == '\0';
            for (auto at = kept.end() - 50000; at != kept.end(); ++at)
                *at = zeros ? 0 : static_cast<uint8_t>((noise = noise * 1103515245u + 12345u) >> 24);
            vrc_test::write_file(broken, kept);
            std::remove(out.c_str());
            run(std::string(VRC_TOOL_PATH) + " repair --reference '" + good + "' '" + broken + "' -o '" + out + "'");
            EXPECT_EQ(run("ffmpeg -v error -i '" + out + "' " + streams + " -f null - 2>&1"), "") << streams;
        }
    }
}

}  // namespace

#endif
