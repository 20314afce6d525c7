#include "datasetlimits.h"

#include <dcmtk/dcmdata/dcistrmb.h>
#include <dcmtk/dcmdata/dcsequen.h>

#include <pthread.h>

namespace datasetlimits {
namespace {

// DCMTK needs about 1.5 KB of stack per nested item in a release build, several times that with
// sanitizers; kMaxItems levels fit with room to spare.
constexpr std::size_t kStackBytes = 128 * 1024 * 1024;

void* runWork(void* work)
{
    (*static_cast<const std::function<void()>*>(work))();
    return nullptr;
}

} // namespace

bool runOnLargeStack(const std::function<void()>& work)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attributes, runWork,
                                        const_cast<std::function<void()>*>(&work)) == 0;
    pthread_attr_destroy(&attributes);
    if (started)
        pthread_join(thread, nullptr);
    return started;
}

int nestingDepth(DcmItem& item)
{
    int depth = 0;
    for (unsigned long i = 0; i < item.card(); ++i) {
        auto* sequence = dynamic_cast<DcmSequenceOfItems*>(item.getElement(i));
        if (!sequence)
            continue;
        int inner = 0;
        for (unsigned long j = 0; j < sequence->card(); ++j)
            inner = std::max(inner, nestingDepth(*sequence->getItem(j)));
        depth = std::max(depth, inner + 1);
    }
    return depth;
}

std::size_t itemTagCount(std::string_view bytes)
{
    static constexpr std::string_view little("\xFE\xFF\x00\xE0", 4);
    static constexpr std::string_view big("\xFF\xFE\xE0\x00", 4);
    std::size_t count = 0;
    for (std::size_t i = 0; i + 4 <= bytes.size(); ++i) {
        const std::string_view here = bytes.substr(i, 4);
        if (here == little || here == big)
            ++count;
    }
    return count;
}

namespace {

// The one way the server reads what it did not write: `into(object)` is what the bytes are read
// into, `dataset(object)` the data set whose nesting is checked.
template <typename Object, typename Into, typename Dataset>
bool readWithin(std::string_view bytes, E_TransferSyntax syntax, Into into, Dataset dataset,
                std::unique_ptr<Object>& out, std::string& why)
{
    out.reset();
    if (bytes.size() > kMaxBytes) {
        why = "data set larger than " + std::to_string(kMaxBytes) + " bytes";
        return false;
    }
    if (itemTagCount(bytes) > kMaxItems) {
        why = "more than " + std::to_string(kMaxItems) + " sequence items";
        return false;
    }
    const bool ran = runOnLargeStack([&] {
        auto parsed = std::make_unique<Object>();
        DcmObject& target = into(*parsed);
        DcmInputBufferStream stream;
        stream.setBuffer(bytes.data(), static_cast<offile_off_t>(bytes.size()));
        stream.setEos();
        target.transferInit();
        const OFCondition cond = target.read(stream, syntax, EGL_noChange);
        target.transferEnd();
        if (cond.bad())
            why = std::string("cannot be read: ") + cond.text();
        else if (nestingDepth(dataset(*parsed)) > kMaxDepth)
            why = "sequences nested deeper than " + std::to_string(kMaxDepth) + " levels";
        else
            out = std::move(parsed);
        // A refused data set is destroyed here, on the large stack.
    });
    if (!ran)
        why = "no thread to read it on (out of resources)";
    return out != nullptr;
}

} // namespace

bool parse(std::string_view bytes, E_TransferSyntax syntax, std::unique_ptr<DcmDataset>& dataset,
           std::string& why)
{
    const auto itself = [](DcmDataset& d) -> DcmDataset& {
        return d;
    };
    return readWithin(bytes, syntax, itself, itself, dataset, why);
}

bool parseFile(std::string_view bytes, std::unique_ptr<DcmFileFormat>& file, std::string& why)
{
    // With a meta header the file tells its transfer syntax; without, DCMTK guesses it.
    const bool withMeta = bytes.size() >= 132 && bytes.compare(128, 4, "DICM") == 0;
    return readWithin(
        bytes, EXS_Unknown,
        [withMeta](DcmFileFormat& f) -> DcmObject& {
            return withMeta ? static_cast<DcmObject&>(f) : *f.getDataset();
        },
        [](DcmFileFormat& f) -> DcmItem& { return *f.getDataset(); }, file, why);
}

} // namespace datasetlimits
