#include "tests/support/AppFixture.h"

#include "app/Unit1.h"

#include <QFile>
#include <QTest>

namespace quindle {

AppFixture::AppFixture() = default;

AppFixture::~AppFixture()
{
    destroyMorse();
}

TMorse& AppFixture::morse()
{
    if (!m_morse) {
        MorsePlatform platform;
        platform.clock = &clock;
        platform.dialogs = &dialogs;
        platform.speakerSink = &speaker;
        platform.waveOut = &waveOut;
        platform.tones = m_recordTones ? &routes : nullptr;
        platform.iniName = iniWritePath.isEmpty() ? iniPath() : iniWritePath;
        platform.iniReadName = iniReadPath;
        m_morse = std::make_unique<TMorse>(platform);
    }
    return *m_morse;
}

void AppFixture::showMorse()
{
    morse().show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&morse()));
}

QString AppFixture::iniPath() const
{
    return dir.filePath(QStringLiteral("quindle2.ini"));
}

void AppFixture::writeIni(const QByteArray& bytes)
{
    QFile file(iniPath());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray AppFixture::readIni() const
{
    QFile file(iniPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void AppFixture::destroyMorse()
{
    m_morse.reset();
}

} // namespace quindle
