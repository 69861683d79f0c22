#include "platform/PythonChoice.h"

namespace PythonChoice {

namespace {

QString systemPython() { return QStringLiteral("/usr/bin/python3"); }

} // namespace

std::optional<QString> find()
{
    // A missing one is reported by the start that fails, naming the path.
    return systemPython();
}

QStringList searchedPaths() { return {systemPython()}; }

} // namespace PythonChoice
