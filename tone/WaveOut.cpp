#include "tone/WaveOut.h"

namespace quindle {

QEvent::Type WaveOutEvent::eventType()
{
    static const auto type = QEvent::Type(QEvent::registerEventType());
    return type;
}

} // namespace quindle
