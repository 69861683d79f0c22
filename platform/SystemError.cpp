#include "platform/SystemError.h"

#include <cerrno>

namespace SystemError {

QString describe(int error)
{
    const char *german = nullptr;
    switch (error) {
    case ENOENT: german = "Nicht vorhanden"; break;
    case EACCES:
    case EPERM: german = "Keine Berechtigung"; break;
    case ENOSPC: german = "Kein Speicherplatz mehr frei"; break;
    case EDQUOT: german = "Speicherkontingent erschöpft"; break;
    case EROFS: german = "Nur lesbares Dateisystem"; break;
    case ENOTDIR: german = "Eine Datei steht im Weg, wo ein Ordner sein müsste"; break;
    case EEXIST: german = "Ist schon vorhanden"; break;
    case EISDIR: german = "Ist ein Ordner"; break;
    case ELOOP: german = "Symbolischer Verweis nicht erlaubt oder im Kreis"; break;
    case ENAMETOOLONG: german = "Name zu lang"; break;
    case EIO: german = "Ein-/Ausgabefehler des Datenträgers"; break;
    default: break;
    }
    const QString system = qt_error_string(error);
    return german ? QString::fromUtf8(german) + QStringLiteral(" (") + system + QLatin1Char(')') : system;
}

} // namespace SystemError
