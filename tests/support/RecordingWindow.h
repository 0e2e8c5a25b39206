#pragma once
// A send job's window that records what the job shows, for tests.

#include "core/SendJob.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace telvoro {

class RecordingWindow : public SendWindow {
public:
    std::string account = "13800138000", message = "hello", selfCheckNumber = "15803800000",
                balance = "0";
    std::vector<std::string> phones;
    bool selfCheck = false, closeRequested = false;
    int progress = -1, maximum = -1, yields = 0;
    std::vector<std::pair<std::string, std::string>> notices;
    std::function<void()> onYield;

    std::string AccountNumber() override { return account; }
    std::string MessageText() override { return message; }
    std::vector<std::string> CheckedPhones() override { return phones; }
    bool SelfCheckOn() override { return selfCheck; }
    std::string SelfCheckNumber() override { return selfCheckNumber; }
    std::string DisplayedBalance() override { return balance; }
    void SetDisplayedBalance(const std::string& text) override { balance = text; }
    void SetProgressPosition(int p) override { progress = p; }
    void SetProgressMaximum(int m) override { maximum = m; }
    void ShowNotice(const std::string& text, const std::string& caption) override {
        notices.emplace_back(text, caption);
    }
    void YieldStep() override {
        ++yields;
        if (onYield) onYield();
    }
    void RequestClose() override { closeRequested = true; }

    std::string LastNotice() const { return notices.empty() ? "" : notices.back().first; }
};

} // namespace telvoro
