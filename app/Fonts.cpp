#include "app/Fonts.h"

#include <QStringList>

#include <utility>

namespace quindle {

void installFontSubstitutions()
{
    const QString sans = QStringLiteral("Liberation Sans");
    const QString mono = QStringLiteral("Liberation Mono");
    for (const auto& [family, substitute] :
         {std::pair{kArial, sans}, std::pair{kMsSansSerif, sans}, std::pair{kCourierNew, mono}}) {
        // insertSubstitution() appends; a second call must not grow the list.
        if (!QFont::substitutes(family).contains(substitute, Qt::CaseInsensitive))
            QFont::insertSubstitution(family, substitute);
    }
}

QFont makeFont(const QString& family, int pointSize, bool bold)
{
    QFont font(family, pointSize, bold ? QFont::Bold : QFont::Normal);
    // Steers the fallback when even the substitutes are missing.
    font.setStyleHint(family == kCourierNew ? QFont::TypeWriter : QFont::SansSerif);
    return font;
}

} // namespace quindle
