#pragma once
// What the operator reads: every text the program's own code can bring to a
// window is Chinese. The libraries below keep their English texts for the log
// and the admin tool; they are put into Chinese here, at the window's edge.
// Also the explanations a first start needs: why a connection failed and how
// a new installation gets its account file and database.

#include "core/SendReport.h"
#include "files/ProgramFolder.h"

#include <QString>
#include <string>
#include <string_view>

namespace telvoro::ui {

// `what` (an error's UTF-8 text) in Chinese: the program's own English
// phrases and the common system and engine causes are replaced; names,
// paths and numbers stay. Chinese text passes unchanged.
QString OperatorText(std::string_view what);
QString OperatorText(const QString& what);
inline QString OperatorText(const char* what) {
    return OperatorText(std::string_view(what));
}

// What is wrong with the settings file, in one sentence; empty when it gives
// an account number.
QString AccountFileState(const ProgramFolder& folder);

// Why the start-up read no account number from the settings file, and what
// to do; empty when the file gives one.
QString AccountFileProblem(const ProgramFolder& folder);

// A few words for the window's status line on a failed connection.
QString ConnectFailureSummary(std::string_view cause);

// The whole story of a failed connection: the cause in Chinese, where the
// database is looked for, the program folder, the account file, and the steps
// that set up a new installation.
// `serverLine` is SMSServer.ini's line as the operator may see it (empty:
// none, the embedded database).
QString ConnectFailureHelp(const ProgramFolder& folder, const QString& serverLine,
                           std::string_view cause);

// What the notice that the account is not registered adds below its text:
// the account file that is missing, or the account to open.
QString NotRegisteredHelp(const ProgramFolder& folder, const QString& serverLine,
                          const QString& account);

// What the notice of a send job that failed part-way adds below its text:
// how many of the job's numbers are queued, and why the rest are not.
QString PartialJobText(const SendReport& report);

// The steps that set up a new installation in `folder`, numbered.
QString SetupSteps(const ProgramFolder& folder, const QString& serverLine);

} // namespace telvoro::ui
