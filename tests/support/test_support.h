// Helpers shared by the test programs.
#ifndef VRC_TEST_SUPPORT_H
#define VRC_TEST_SUPPORT_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vrc_test {

// A fresh path in the test's own scratch folder (removed at exit).
std::string temp_path(const std::string &name);
std::vector<uint8_t> read_file(const std::string &path);
void write_file(const std::string &path, const std::vector<uint8_t> &bytes);
// The log ring's current text.
std::string log_text();
// What `action` printed on standard output.
std::string printed_by(const std::function<void()> &action);

}  // namespace vrc_test

#endif
