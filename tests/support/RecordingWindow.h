#pragma once
// What a send job shows, recorded for tests: RecordingDisplay serves the
// display part of any interface built on SendDisplay (the client's view
// too, tests/support/RecordingView.h); RecordingWindow adds the host part.

#include "core/SendWindow.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace telvoro {

template <class Port> class RecordingDisplay : public Port {
public:
    std::string account = "13800138000", message = "hello", selfCheckNumber = "15803800000",
                balance = "0";
    bool selfCheck = false;
    int progress = -1, maximum = -1;
    std::vector<std::pair<std::string, std::string>> notices; // text, caption
    // "balance TEXT" and "notice TEXT", among what a derived view records.
    std::vector<std::string> events;

    std::string AccountNumber() override { return account; }
    std::string MessageText() override { return message; }
    bool SelfCheckOn() override { return selfCheck; }
    std::string SelfCheckNumber() override { return selfCheckNumber; }
    std::string DisplayedBalance() override { return balance; }
    void SetDisplayedBalance(const std::string& text) override {
        balance = text;
        events.push_back("balance " + text);
    }
    void SetProgressPosition(int p) override { progress = p; }
    void SetProgressMaximum(int m) override { maximum = m; }
    void ShowNotice(const std::string& text, const std::string& caption) override {
        notices.emplace_back(text, caption);
        events.push_back("notice " + text);
    }

    std::string LastNotice() const { return notices.empty() ? "" : notices.back().first; }
};

class RecordingWindow : public RecordingDisplay<SendWindow> {
public:
    std::vector<std::string> phones;
    bool closeRequested = false;
    int yields = 0;
    std::function<void()> onYield;

    std::vector<std::string> CheckedPhones() override { return phones; }
    void YieldStep() override {
        ++yields;
        if (onYield) onYield();
    }
    void RequestClose() override { closeRequested = true; }
};

} // namespace telvoro
