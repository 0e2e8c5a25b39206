#pragma once
// The recipient list: the people a send job can go to, in the order their
// entries were created. Entries are only appended at the end or the whole list
// is replaced (load, edit); nothing removes, moves or sorts single entries.
// All texts are GBK bytes. Runs without any window system; the list control
// reads it through At()/Count() and follows it through a RecipientListObserver.
//
// Yield steps. Long operations call a caller-supplied YieldStep between items
// so the window can dispatch pending events; an empty YieldStep costs one test.
//
// Re-entry. During a yield step any handler may run again, including one that
// works on this list:
//   * While SetAllChecked, SaveList or ReplaceFromPhoneLines is inside its
//     loop the list is Busy(). A busy list refuses to be replaced: LoadList and
//     ReplaceFromPhoneLines then throw Error(kBusyText) and change nothing.
//     The window should test Busy() first and ignore the click (or tell the
//     operator); the exception is the safety net.
//   * So the entries an operation found at its start stay in place until it
//     ends. It takes its count once; entries appended meanwhile are not
//     visited by it.
//   * Appending (AddIfNewPhone) and setting one entry's SeqNo or tick are
//     always allowed, busy or not.
//   * AddIfNewPhone yields before its duplicate test, never between the test
//     and the append, so a phone can never slip in twice. A merge of many
//     lines (the hand-off reader) is not a loop of the list: a load or an edit
//     during one of its yields goes through, and the rest of the merge tests
//     against the new list.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace telvoro {

struct RecipientEntry {
    std::string SeqNo;    // display number; never read by any operation
    std::string Customer; // customer name
    std::string Phone;    // phone text, byte for byte
    std::string Status;   // status word
    bool Checked = false; // selected for the next send job
};

// One call that lets the window dispatch its waiting events; may be empty.
using YieldStep = std::function<void()>;

// What a list control needs to follow the list without copying it. Calls come
// after the change has been made, on the thread that made it.
class RecipientListObserver {
public:
    virtual ~RecipientListObserver() = default;
    // Entries first..last (0-based, inclusive) were appended at the end.
    virtual void EntriesAppended(std::size_t first, std::size_t last) = 0;
    // Entries first..last changed in place (SeqNo or tick); first == last for one.
    virtual void EntriesChanged(std::size_t first, std::size_t last) = 0;
    // The whole list was emptied or replaced; read it again from scratch.
    virtual void ListReset() = 0;
};

class RecipientList {
public:
    // UTF-8 text of the Error a busy list throws when asked to be replaced.
    static constexpr const char* kBusyText = "收件人列表正在处理中，请在当前操作结束后再试";

    RecipientList() = default;
    RecipientList(const RecipientList&) = delete;
    RecipientList& operator=(const RecipientList&) = delete;

    // At most one observer; nullptr removes it. The observer must outlive the
    // list or be removed first.
    void SetObserver(RecipientListObserver* observer) { observer_ = observer; }

    std::size_t Count() const { return size_; }
    // Entry i (0-based); throws std::out_of_range when i >= Count().
    const RecipientEntry& At(std::size_t i) const;

    // The two fields the list control edits in place. Throw std::out_of_range
    // for a missing entry; notify EntriesChanged(i, i).
    void SetChecked(std::size_t i, bool checked);
    void SetSeqNo(std::size_t i, std::string seqNo);

    // Appends {SeqNo = count after append, name, phone, "待发", unticked} unless
    // an entry has exactly the same phone bytes; true when it appended. The
    // existing entry is never changed. Yields once, before the test.
    bool AddIfNewPhone(std::string_view name, std::string_view phone, const YieldStep& yield = {});

    // The Phone of every entry, in list order.
    std::vector<std::string> PhoneLines() const;

    // Empties the list, then for line i (1-based) yields and appends
    // {SeqNo = i, "接收者", GetOkTel(line), "待发", ticked} when the normalised
    // line is 11, 12, 8 or 7 bytes long. Throws Error(kBusyText) when Busy().
    void ReplaceFromPhoneLines(std::vector<std::string> lines, const YieldStep& yield = {});

    // For each entry that existed at the start: Checked = flag() (asked anew
    // for every entry), then a yield step.
    void SetAllChecked(const std::function<bool()>& flag, const YieldStep& yield = {});

    // Writes every entry that existed at the start as Customer TAB Phone TAB
    // Status CR LF (an empty list gives 0 bytes), yielding after each line.
    // The file is replaced in one step (temporary file + rename), so a failure
    // leaves the old file as it was. Errors as WriteWholeFile throws them.
    void SaveList(const std::filesystem::path& path, const YieldStep& yield = {});

    // Reads the whole file, then replaces the list with one unticked entry per
    // line: SeqNo = position, fields 1-3 cut at TAB. No yields. A read error
    // (Error "无法打开文件“PATH”：REASON") leaves the list unchanged; so does
    // Error(kBusyText) when Busy().
    void LoadList(const std::filesystem::path& path);

    // True while an operation with yield steps is inside its loop.
    bool Busy() const { return busy_ > 0; }

    // How often the list was emptied to be replaced (load, edit), so that a
    // caller holding entry positions across yield steps can tell whether they
    // still name the same entries.
    std::uint64_t Replacements() const { return replacements_; }

private:
    static constexpr std::size_t kChunk = 256;

    RecipientEntry& Slot(std::size_t i) { return chunks_[i / kChunk][i % kChunk]; }
    // Appends the entry; indexes its phone unless an equal one is indexed.
    void Append(RecipientEntry&& entry);
    void Clear(); // no notification: the caller sends ListReset
    void ThrowIfBusy() const;
    // The index slot holding `phone`, or the free slot where it would go.
    std::size_t Probe(std::string_view phone, std::uint32_t hash) const;
    void GrowIndex();

    // Entries live in fixed chunks: appending never moves them (a reference from
    // At() stays valid until the list is replaced) and never needs a copy of the
    // whole list, which keeps the peak memory of large lists low.
    std::vector<std::unique_ptr<RecipientEntry[]>> chunks_;
    std::size_t size_ = 0;
    // Open-addressing phone index: each slot is (32-bit phone hash << 32) |
    // (entry index + 1), 0 = free; one slot per distinct phone, load <= 1/2.
    std::vector<std::uint64_t> slots_;
    std::size_t indexed_ = 0;
    std::uint64_t replacements_ = 0;
    int busy_ = 0;
    RecipientListObserver* observer_ = nullptr;
};

} // namespace telvoro
