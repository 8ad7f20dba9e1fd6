// A slow, obvious model of the patch format, written apart from the engine: the fuzz
// targets check the engine's results against it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class Verdict {
  complete,
  bad_length,        // length field unusable: negative, too long for the buffer or the file
  no_signature,      // no first separator, or not the signature before it
  no_original_name,  // no second separator
  no_new_name,       // no third separator
  wrong_original,    // size check failed or a copy reaches past the original
  damaged_patch,     // an operation head or insert data reaching past the data end
  too_big,           // the new file would pass the cap; not run
};

struct ModelOperation {
  bool is_copy;
  std::uint32_t offset;
  std::uint32_t length;
  std::size_t head;  // op byte and operands; 0 when they do not fit
};

struct ModelResult {
  Verdict verdict;
  std::string original_name;
  std::string new_name;
  std::int32_t expected_original_size;
  std::uint64_t data_end;
  std::string output;  // the new file when complete
};

ModelOperation model_operation(const unsigned char* bytes, std::size_t available);

// The trailer alone when `original` is null, else the whole run. Stops with too_big as
// soon as the new file would grow past `output_cap` bytes. `result` keeps its buffers
// from call to call: big fresh allocations are what makes a fuzz run slow.
void model_patch(const std::string& patch, const std::string* original, std::size_t output_cap,
                 ModelResult* result);
