// The result filter over what other users' clients send: their file and folder names are the
// texts tested, and the values of a file item are theirs too. Input: fields separated by "\n":
// the filter line, text A, text B, then the item's bitrate, bitrate_mode and file_size (the last
// takes the rest of the input). With three fields or fewer there is no item; an empty value
// field leaves the item without that value.
//
// Checked, for A, B and "A B" (one space between):
// - every result is 0, 1 or 2, and the same with a residual as without; with a residual, 1
//   exactly when the residual holds wanted words; a filter of nothing but spaces gives 0;
// - the path rule: "A B" gives 0 exactly when A, as a folder name without the item, gives not 2
//   and its residual gives 0 on B with the item (words hold no space, so none spans the two);
//   testing A with the filter as its own residual leaves the same residual;
// - an item failing a limit gives 2 whatever the text; one within every limit is never
//   rejected on an empty text.

#include "FuzzSupport.h"

#include "peer/PeerSchema.h"
#include "store/Data.h"
#include "store/Schema.h"
#include "ui/search/FilterParser.h"

#include <QString>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using PeerTypes::Bitrate;
using PeerTypes::BitrateMode;
using PeerTypes::FileSize;
using PeerTypes::SearchResult;

const SchemaType kTypes[] = {
    {SearchResult, RootPrimacy, true, false, ValueKind::None},
    {Bitrate, ValuePrimacy, false, true, ValueKind::Number},
    {BitrateMode, ValuePrimacy, false, true, ValueKind::Word},
    {FileSize, ValuePrimacy, false, true, ValueKind::Number},
};

const SchemaRelation kRelations[] = {
    {SearchResult, Bitrate, Many, One},
    {SearchResult, BitrateMode, Many, One},
    {SearchResult, FileSize, Many, One},
};

constexpr size_t kFields = 6;

std::vector<std::string> Fields(const uint8_t* data, size_t size)
{
    std::vector<std::string> fields;
    const char* at = reinterpret_cast<const char*>(data);
    const char* const end = at + size;
    while (fields.size() + 1 < kFields) {
        const char* newline = std::find(at, end, '\n');
        if (newline == end)
            break;
        fields.emplace_back(at, newline);
        at = newline + 1;
    }
    fields.emplace_back(at, end);
    return fields;
}

QString Text(const std::vector<std::string>& fields, size_t index)
{
    if (index >= fields.size())
        return QString();
    return QString::fromUtf8(fields[index].data(), qsizetype(fields[index].size()));
}

// A value the item was given, empty when none.
std::string Field(const std::vector<std::string>& fields, size_t index)
{
    return index < fields.size() ? fields[index] : std::string();
}

bool SameFilter(const FilterParser& a, const FilterParser& b)
{
    return a.IncludeWords() == b.IncludeWords() && a.ExcludeWords() == b.ExcludeWords() &&
           a.MinBitrate() == b.MinBitrate() && a.IsVbr() == b.IsVbr() && a.IsCbr() == b.IsCbr() &&
           a.MinFileSize() == b.MinFileSize() && a.MinFilesInFolder() == b.MinFilesInFolder() &&
           a.HasAttributes() == b.HasAttributes();
}

// Tests text without and with a residual (one that held words before); both verdicts agree and
// the residual tells the verdict.
int Checked(const FilterParser& filter, const QString& text, ItemPtr item, FilterParser& residual)
{
    const int plain = filter.IsMatching(text, nullptr, item);
    FUZZ_CHECK(plain >= 0 && plain <= 2);
    residual = filter;
    FUZZ_CHECK(filter.IsMatching(text, &residual, item) == plain);
    FUZZ_CHECK((plain == FilterParser::MissingWords) == !residual.IncludeWords().isEmpty());
    if (plain == FilterParser::Rejected)
        FUZZ_CHECK(residual.IncludeWords().isEmpty() && residual.ExcludeWords().isEmpty());
    return plain;
}

// The limits as the help text describes them, read from the values as sent. A minimum of zero
// or less asks for nothing.
bool FailsLimits(const FilterParser& filter, const std::string& bitrate, const std::string& mode,
                 const std::string& size)
{
    if (filter.IsVbr() && mode != "vbr")
        return true;
    if (filter.IsCbr() && mode != "cbr")
        return true;
    if (filter.MinBitrate() > 0 && std::strtoll(bitrate.c_str(), nullptr, 10) < filter.MinBitrate())
        return true;
    return filter.MinFileSize() > 0 &&
           std::strtoll(size.c_str(), nullptr, 10) < filter.MinFileSize();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> fields = Fields(data, size);
    const QString a = Text(fields, 1);
    const QString b = Text(fields, 2);
    const QString both = a + u' ' + b;

    // The types once per process; each input leaves the store empty as it found it.
    static const bool declared = (DeclareSchema(MakeSchema(kTypes, kRelations)), true);
    (void)declared;
    struct Emptied
    {
        ~Emptied() { d.RemoveAllItems(); }
    } emptied;
    ItemPtr item;
    if (fields.size() > 3) {
        item = d.GetType(SearchResult)->NewItem();
        const char* const types[] = {Bitrate, BitrateMode, FileSize};
        for (size_t i = 0; i < 3; ++i) {
            const std::string value = Field(fields, 3 + i);
            if (!value.empty())
                item += d.GetType(types[i])->GetItem(Value(value));
        }
    }

    FilterParser filter;
    filter.Parse(Text(fields, 0));
    FilterParser residual;
    const int onA = Checked(filter, a, item, residual);
    const int onB = Checked(filter, b, item, residual);
    const int onBoth = Checked(filter, both, item, residual);

    const std::string& line = fields[0];
    if (std::all_of(line.begin(), line.end(), [](char c) { return c == ' '; }))
        FUZZ_CHECK(onA == 0 && onB == 0 && onBoth == 0);

    FilterParser folder;
    const int onFolder = Checked(filter, a, ItemPtr(), folder);
    FilterParser rest;
    const int onFile = Checked(folder, b, item, rest);
    FUZZ_CHECK((onBoth == 0) == (onFolder != 2 && onFile == 0));
    FilterParser inPlace = filter;
    FUZZ_CHECK(inPlace.IsMatching(a, &inPlace, ItemPtr()) == onFolder);
    FUZZ_CHECK(SameFilter(inPlace, folder));

    if (item) {
        if (FailsLimits(filter, Field(fields, 3), Field(fields, 4), Field(fields, 5)))
            FUZZ_CHECK(onA == 2 && onB == 2 && onBoth == 2 && onFile == 2);
        else
            FUZZ_CHECK(filter.IsMatching(QString(), nullptr, item) != 2);
    }
    return 0;
}
