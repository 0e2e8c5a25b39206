#pragma once
// The client session's view, recording what the session tells it as events.

#include "client/ClientSession.h"
#include "tests/support/RecordingWindow.h"

#include <string>
#include <vector>

namespace telvoro {

class RecordingView : public RecordingDisplay<client::ClientView> {
public:
    void ShowAccountNumber(const std::string& a) override {
        account = a; // the window's field, which AccountNumber() reads
        events.push_back("account " + a);
    }
    void AddTemplateEntries(const std::vector<TemplateMenuEntry>& entries) override {
        events.push_back("templates " + std::to_string(entries.size()));
    }
    void PlaceWindow() override { events.push_back("place"); }
    void ShowConnected() override { events.push_back("connected"); }
    void ShowConnectFailed() override { events.push_back("connect failed"); }
    void StartHandoffTimer() override { events.push_back("timer on"); }
    void StopHandoffTimer() override { events.push_back("timer off"); }
    void SignalRefusal() override { events.push_back("refusal"); }
    void EditLater() override { events.push_back("edit later"); }
    void CloseWindow() override { events.push_back("close"); }
};

} // namespace telvoro
