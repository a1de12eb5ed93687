// Number boxes that hold digits only, and the decimal text a number box stores.
#pragma once

#include <QString>

class QLineEdit;

namespace veltrano {

// Lets Backspace and the digits 0-9 through as typed characters and discards every other
// character, control characters included (editing keys such as Delete and the arrows, and
// shortcuts such as Ctrl+A, Ctrl+C and Ctrl+V, still work).
// A paste, drop or input-method text that would leave a non-digit in the box is refused whole.
void acceptDigitsOnly(QLineEdit *box);

// The decimal text of the whole number a text holds, blanks around it allowed: "007" gives "7",
// " -03 " gives "-3", "0000" gives "0". Text that is no whole number (empty included) gives "".
QString decimalText(const QString &text);

} // namespace veltrano
