#pragma once
// The operator's side of a send job, in two parts: the display (what the
// operator typed and sees) and the host (the chosen numbers, the event loop,
// closing). The client session hands the job its view as the display and
// serves the host itself; the admin tool and the tests implement both in one
// SendWindow. Texts are GBK.

#include <string>
#include <vector>

namespace telvoro {

class SendDisplay {
public:
    virtual ~SendDisplay() = default;
    // The account number read from the settings file at start.
    virtual std::string AccountNumber() = 0;
    // The message as the operator wrote it, lines joined by CR LF.
    virtual std::string MessageText() = 0;
    // Whether the self-check number goes with the job as its last recipient.
    virtual bool SelfCheckOn() = 0;
    virtual std::string SelfCheckNumber() = 0;
    // The account's credit as last shown to the operator; the job lowers it
    // after every batch.
    virtual std::string DisplayedBalance() = 0;
    virtual void SetDisplayedBalance(const std::string& text) = 0;
    // The progress of the job: numbers handled so far out of the maximum.
    virtual void SetProgressPosition(int position) = 0;
    virtual void SetProgressMaximum(int maximum) = 0;
    // A notice with one OK button and the exclamation icon; returns once the
    // operator has closed it.
    virtual void ShowNotice(const std::string& text, const std::string& caption) = 0;
};

class SendHost {
public:
    virtual ~SendHost() = default;
    // The phones of the ticked list entries, in list order.
    virtual std::vector<std::string> CheckedPhones() = 0;
    // Lets the window handle the events waiting at this moment.
    virtual void YieldStep() = 0;
    // Asks for the program to end once the running action has returned.
    virtual void RequestClose() = 0;
};

// Both parts in one object.
class SendWindow : public SendDisplay, public SendHost {};

} // namespace telvoro
