#include "base/build_data.h"

namespace base {
namespace {

constexpr char kBinaryName[] = "<fake build info>";
constexpr char kTargetName[] = "<fake build info>";
constexpr unsigned kStampWord = 0;

}  // namespace

std::string_view BuildData::BinaryName() { return kBinaryName; }
std::string_view BuildData::TargetName() { return kTargetName; }
bool BuildData::IsVerifiable() { return kStampWord != 0; }

}  // namespace base
