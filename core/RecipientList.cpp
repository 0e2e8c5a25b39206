#include "core/RecipientList.h"

#include "core/Error.h"
#include "core/FileIO.h"
#include "core/GbkTexts.h"
#include "core/TextRules.h"

#include <stdexcept>
#include <utility>

namespace telvoro {

namespace {

std::uint32_t PhoneHash(std::string_view phone) {
    // FNV-1a: phones are short, and this beats a general-purpose hash on them.
    std::uint32_t h = 2166136261u;
    for (const char c : phone) {
        h ^= static_cast<unsigned char>(c);
        h *= 16777619u;
    }
    return h;
}

constexpr std::uint64_t kFree = 0;

std::uint32_t SlotHash(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot >> 32);
}
std::size_t SlotEntry(std::uint64_t slot) {
    return static_cast<std::uint32_t>(slot) - 1u;
}
std::uint64_t MakeSlot(std::uint32_t hash, std::size_t entry) {
    return (std::uint64_t{hash} << 32) | static_cast<std::uint32_t>(entry + 1);
}

// Counts an operation with yield steps as running for as long as it lives.
class BusyScope {
public:
    explicit BusyScope(int& busy) : busy_(busy) { ++busy_; }
    ~BusyScope() { --busy_; }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    int& busy_;
};

} // namespace

const RecipientEntry& RecipientList::At(std::size_t i) const {
    if (i >= size_) throw std::out_of_range("RecipientList::At: no entry " + std::to_string(i));
    return chunks_[i / kChunk][i % kChunk];
}

void RecipientList::SetChecked(std::size_t i, bool checked) {
    if (i >= size_)
        throw std::out_of_range("RecipientList::SetChecked: no entry " + std::to_string(i));
    Slot(i).Checked = checked;
    if (observer_) observer_->EntriesChanged(i, i);
}

void RecipientList::SetSeqNo(std::size_t i, std::string seqNo) {
    if (i >= size_)
        throw std::out_of_range("RecipientList::SetSeqNo: no entry " + std::to_string(i));
    Slot(i).SeqNo = std::move(seqNo);
    if (observer_) observer_->EntriesChanged(i, i);
}

void RecipientList::ThrowIfBusy() const {
    if (Busy()) throw Error(kBusyText);
}

std::size_t RecipientList::Probe(std::string_view phone, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t pos = hash & mask;; pos = (pos + 1) & mask) {
        const std::uint64_t slot = slots_[pos];
        if (slot == kFree) return pos;
        if (SlotHash(slot) == hash &&
            chunks_[SlotEntry(slot) / kChunk][SlotEntry(slot) % kChunk].Phone == phone)
            return pos;
    }
}

void RecipientList::GrowIndex() {
    std::vector<std::uint64_t> old = std::move(slots_);
    slots_.assign(old.empty() ? 1024 : old.size() * 2, kFree);
    const std::size_t mask = slots_.size() - 1;
    for (const std::uint64_t slot : old) {
        if (slot == kFree) continue;
        std::size_t pos = SlotHash(slot) & mask;
        while (slots_[pos] != kFree)
            pos = (pos + 1) & mask;
        slots_[pos] = slot;
    }
}

void RecipientList::Append(RecipientEntry&& entry) {
    if ((indexed_ + 1) * 2 > slots_.size()) GrowIndex();
    const std::uint32_t hash = PhoneHash(entry.Phone);
    const std::size_t pos = Probe(entry.Phone, hash);
    if (size_ % kChunk == 0) chunks_.push_back(std::make_unique<RecipientEntry[]>(kChunk));
    Slot(size_) = std::move(entry);
    if (slots_[pos] == kFree) {
        slots_[pos] = MakeSlot(hash, size_);
        ++indexed_;
    }
    ++size_;
}

void RecipientList::Clear() {
    decltype(chunks_)().swap(chunks_);
    decltype(slots_)().swap(slots_);
    size_ = 0;
    indexed_ = 0;
    ++replacements_;
}

bool RecipientList::AddIfNewPhone(std::string_view name, std::string_view phone,
                                  const YieldStep& yield) {
    if (yield) yield();
    if (!slots_.empty()) {
        const std::size_t pos = Probe(phone, PhoneHash(phone));
        if (slots_[pos] != kFree) return false;
    }
    Append(RecipientEntry{std::to_string(size_ + 1), std::string(name), std::string(phone),
                          gbk::kStatusWaiting, false});
    if (observer_) observer_->EntriesAppended(size_ - 1, size_ - 1);
    return true;
}

std::vector<std::string> RecipientList::PhoneLines() const {
    std::vector<std::string> lines;
    lines.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i)
        lines.push_back(At(i).Phone);
    return lines;
}

void RecipientList::ReplaceFromPhoneLines(std::vector<std::string> lines, const YieldStep& yield) {
    ThrowIfBusy();
    BusyScope busy(busy_);
    Clear();
    if (observer_) observer_->ListReset();
    const std::size_t n = lines.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (yield) yield();
        std::string phone = GetOkTel(lines[i]);
        const std::size_t len = phone.size();
        if (len != 11 && len != 12 && len != 8 && len != 7) continue;
        Append(RecipientEntry{std::to_string(i + 1), gbk::kEditedCustomer, std::move(phone),
                              gbk::kStatusWaiting, true});
        if (observer_) observer_->EntriesAppended(size_ - 1, size_ - 1);
    }
}

void RecipientList::SetAllChecked(const std::function<bool()>& flag, const YieldStep& yield) {
    // The list is busy, so nothing can replace it during the loop: the
    // entries that existed at the start stay there, and only appends happen.
    BusyScope busy(busy_);
    const std::size_t n = size_;
    // Changes are reported in runs, not per entry: the control reads the list
    // itself whenever it paints, so a run only needs to ask it to repaint.
    constexpr std::size_t kRun = 1024;
    std::size_t runStart = 0;
    auto report = [&](std::size_t end) {
        if (observer_ && end > runStart) observer_->EntriesChanged(runStart, end - 1);
        runStart = end;
    };
    std::size_t i = 0;
    for (; i < n; ++i) {
        Slot(i).Checked = flag ? flag() : false;
        if (i + 1 - runStart >= kRun) report(i + 1);
        if (yield) yield();
    }
    report(i);
}

void RecipientList::SaveList(const std::filesystem::path& path, const YieldStep& yield) {
    // Busy: the entries that existed at the start stay there until the end.
    BusyScope busy(busy_);
    const std::size_t n = size_;
    std::string bytes;
    for (std::size_t i = 0; i < n; ++i) {
        const RecipientEntry& e = Slot(i);
        bytes.append(e.Customer).append(1, '\t').append(e.Phone).append(1, '\t').append(e.Status);
        bytes.append("\r\n");
        if (yield) yield();
    }
    WriteWholeFile(path, bytes);
}

void RecipientList::LoadList(const std::filesystem::path& path) {
    ThrowIfBusy();
    std::vector<std::string> lines = SplitLines(ReadText(path));
    // Everything that can fail for reasons of the file is behind us. The list
    // control hears of the replacement even if memory runs out part-way.
    struct ResetNotice {
        RecipientListObserver* observer;
        ~ResetNotice() {
            if (observer) observer->ListReset();
        }
    } notice{observer_};
    Clear();
    chunks_.reserve(lines.size() / kChunk + 1);
    for (std::string& line : lines) {
        Append(RecipientEntry{std::to_string(size_ + 1), GetField(line, '\t', 1),
                              GetField(line, '\t', 2), GetField(line, '\t', 3), false});
        std::string().swap(line); // give the memory back as we go
    }
}

} // namespace telvoro
