// Differential property: walking a text value by value with the typed calls (begin_object,
// next_member, read_float, ...) and skipping it whole with skip_value accept exactly the same
// texts and report exactly the same first error.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fenro/json/reader.h"

using fenro::json::Kind;
using fenro::json::Reader;

namespace {

// Reads one value with the typed calls, containers through an explicit stack.
bool walk(Reader& r) {
  std::vector<bool> in_object;  // one entry per open container
  std::string s;
  float f;
  bool b;
  for (;;) {
    // A value is expected.
    switch (r.peek()) {
      case Kind::Object:
        if (!r.begin_object()) return false;
        in_object.push_back(true);
        break;
      case Kind::Array:
        if (!r.begin_array()) return false;
        in_object.push_back(false);
        break;
      case Kind::String:
        if (!r.read_string(s)) return false;
        break;
      case Kind::Number:
        if (!r.read_float(f)) return false;
        break;
      case Kind::Boolean:
        if (!r.read_bool(b)) return false;
        break;
      case Kind::Null:
        if (!r.read_null()) return false;
        break;
      case Kind::Invalid:
        return r.skip_value();  // reports the syntax error
    }
    // Move to the next item, closing finished containers.
    for (;;) {
      if (in_object.empty()) return true;
      const bool more = in_object.back() ? r.next_member(s) : r.next_element();
      if (r.failed()) return false;
      if (more) break;
      in_object.pop_back();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  Reader walker(text), skipper(text);
  const bool walked = walk(walker) && walker.finish();
  const bool skipped = skipper.skip_value() && skipper.finish();
  if (walked != skipped || walker.message() != skipper.message()) std::abort();
  if (!walked && walker.message().find(" at line ") == std::string::npos) std::abort();
  return 0;
}
