#pragma once

#include <QString>

// The system's reasons in the user's words: the common causes in German,
// the system's own text kept in parentheses for whoever looks further.
namespace SystemError {

QString describe(int error);

} // namespace SystemError
