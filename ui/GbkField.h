#pragma once
// A text field that shows GBK data keeps the bytes it was given, so data that
// only passes through the window (the account number) comes back byte for
// byte even when it is not displayable.

#include <string>

class QLineEdit;

namespace telvoro::ui {

// Shows `bytes` in `field` and keeps them with it.
void SetFieldGbk(QLineEdit* field, const std::string& bytes);
// The bytes last given while the field still shows them, else its text as GBK.
std::string FieldGbk(const QLineEdit* field);

} // namespace telvoro::ui
