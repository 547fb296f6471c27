// ffmpeg and ffprobe as the test suite's real clients (Linux builds only).
#ifndef VRC_FFMPEG_TOOLS_H
#define VRC_FFMPEG_TOOLS_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Tests that need ffmpeg say so and skip where it is missing.
#define SKIP_WITHOUT_FFMPEG() \
    if (!vrc_test::have_ffmpeg()) GTEST_SKIP() << "ffmpeg/ffprobe not found: nothing is checked against a real player"

namespace vrc_test {

inline bool have_ffmpeg()
{
    return std::system("ffmpeg -version >/dev/null 2>&1 && ffprobe -version >/dev/null 2>&1") == 0;
}

// Everything the command writes on standard output.
inline std::string run(const std::string &command)
{
    std::string out;
    if (FILE *p = popen(command.c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// The hashes of the decoded video frames (framemd5), timestamps left out;
// each at its own size (ffmpeg would scale a picture that changes size to
// the first one's). Errors from the decoder come out among them.
inline std::vector<std::string> frame_hashes(const std::string &input)
{
    std::vector<std::string> hashes;
    const std::string text = run("ffmpeg -v error -i '" + input + "' -map 0:v -autoscale 0 -f framemd5 - 2>&1");
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (!line.empty() && line[0] != '#') hashes.push_back(line.substr(line.rfind(',') + 1));
        at = end + 1;
    }
    return hashes;
}

}  // namespace vrc_test

#endif
