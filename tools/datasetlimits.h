#pragma once

#include <dcmtk/dcmdata/dcdatset.h>
#include <dcmtk/dcmdata/dcfilefo.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

// What the server accepts as one data set, from a client or from a file. DCMTK's reader and
// destructor recurse once per nested sequence, so unbounded nesting overflows the stack. A real
// worklist entry nests two or three levels. The raw bytes are checked first: a data set with more
// item tags than kMaxItems is refused unread, which bounds the nesting DCMTK can meet; it is then
// parsed on a thread whose stack fits that bound, and refused when it nests deeper than kMaxDepth.
namespace datasetlimits {

constexpr std::size_t kMaxBytes = 1024 * 1024;
constexpr std::size_t kMaxItems = 4096;
constexpr int kMaxDepth = 32;

// Runs `work` on a thread of its own with a stack large enough for kMaxItems nested items, and
// waits for it. False, and `work` never ran, when no such thread could be started.
[[nodiscard]] bool runOnLargeStack(const std::function<void()>& work);

// Sequence nesting of a parsed item: 0 without sequences, 1 with a sequence of flat items.
[[nodiscard]] int nestingDepth(DcmItem& item);

// Occurrences of the item start tag (FFFE,E000), in either byte order, anywhere in `bytes`: at
// least the number of items a reader can find there.
[[nodiscard]] std::size_t itemTagCount(std::string_view bytes);

// Parses a data set (no file meta header) within the limits; false with `why` otherwise.
[[nodiscard]] bool parse(std::string_view bytes, E_TransferSyntax syntax,
                         std::unique_ptr<DcmDataset>& dataset, std::string& why);
// The same for a file, with or without a meta header.
[[nodiscard]] bool parseFile(std::string_view bytes, std::unique_ptr<DcmFileFormat>& file,
                             std::string& why);

} // namespace datasetlimits
