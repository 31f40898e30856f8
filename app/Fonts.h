#pragma once

#include <QFont>
#include <QString>

namespace quindle {

// The typefaces the windows are designed in. They are not installed on a Linux desktop; the
// substitutions below map them onto metric-compatible free fonts.
inline const QString kArial = QStringLiteral("Arial");
inline const QString kMsSansSerif = QStringLiteral("MS Sans Serif");
inline const QString kCourierNew = QStringLiteral("Courier New");

// Maps Arial and MS Sans Serif onto Liberation Sans and Courier New onto Liberation Mono in
// Qt's own substitution table, so that the layout does not depend on fontconfig's aliases.
// Safe to call more than once; call it after the QApplication exists and before any window.
void installFontSubstitutions();

// A font of family at pointSize [pt]. The layouts are in pixels at 96 dpi, where Qt's point
// sizes give the designed character heights (8 pt = 11 px, 12 pt = 16 px).
QFont makeFont(const QString& family, int pointSize, bool bold = false);

} // namespace quindle
