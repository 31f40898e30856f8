// Speed of the document load and save on a 16 MiB text, and of one settings load and save.
#include "persistence/IniFile.h"
#include "persistence/TextFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

namespace {

using namespace quindle;

constexpr qsizetype kTextSize = 16 * 1024 * 1024; // [bytes]

// Lines of practice groups and prose with some Windows-1252 letters; lineEnd separates them.
QByteArray sampleText(const QByteArray& lineEnd)
{
    const QByteArray line = "QRXVT ZKPLM 12345 caf\xe9 na\xefve \x80 50, \x93quoted\x94 text... ";
    QByteArray bytes;
    bytes.reserve(kTextSize + line.size());
    while (bytes.size() < kTextSize)
        bytes += line + lineEnd;
    bytes.truncate(kTextSize);
    return bytes;
}

void writeSample(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        std::abort();
}

void loadText(benchmark::State& state, const QByteArray& lineEnd)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("sample.txt"));
    writeSample(path, sampleText(lineEnd));
    for (auto _ : state) {
        const TextLoadResult result = loadTextFile(path);
        if (!result.ok)
            state.SkipWithError(result.error.toStdString().c_str());
        benchmark::DoNotOptimize(result.text.constData());
    }
    state.SetBytesProcessed(state.iterations() * kTextSize);
}

void BM_LoadText16MiB_CrLf(benchmark::State& state)
{
    loadText(state, "\r\n");
}
BENCHMARK(BM_LoadText16MiB_CrLf)->Unit(benchmark::kMillisecond);

void BM_LoadText16MiB_Lf(benchmark::State& state)
{
    loadText(state, "\n");
}
BENCHMARK(BM_LoadText16MiB_Lf)->Unit(benchmark::kMillisecond);

void BM_SaveText16MiB(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("saved.txt"));
    writeSample(path, sampleText("\r\n"));
    const QString text = loadTextFile(path).text;
    for (auto _ : state) {
        const TextSaveResult result = saveTextFile(path, text);
        if (!result.ok)
            state.SkipWithError(result.error.toStdString().c_str());
    }
    state.SetBytesProcessed(state.iterations() * kTextSize);
}
BENCHMARK(BM_SaveText16MiB)->Unit(benchmark::kMillisecond);

// The eleven keys as the window reads them at start-up and writes them on a save.
void BM_SettingsLoad(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quindle2.ini"));
    writeSample(path,
                "[Morse]\r\nFreq=750\r\nSpeed=100\r\nDelay=1\r\nCase=1\r\nSize=9\r\nFont=Courier New\r\n"
                "Punctuation=0\r\nAccented=0\r\nSpeaker=0\r\nSettings=0\r\nAutoCT=0\r\n");
    for (auto _ : state) {
        IniFile ini(path);
        int sum = 0;
        for (const char* key : {"Freq", "Speed", "Delay", "Size"})
            sum += ini.readInteger(QStringLiteral("Morse"), QString::fromLatin1(key), 0);
        for (const char* key : {"Case", "Punctuation", "Accented", "Speaker", "Settings", "AutoCT"})
            sum += ini.readBool(QStringLiteral("Morse"), QString::fromLatin1(key), false);
        benchmark::DoNotOptimize(sum);
        benchmark::DoNotOptimize(ini.readString(QStringLiteral("Morse"), QStringLiteral("Font"), QString()));
    }
}
BENCHMARK(BM_SettingsLoad)->Unit(benchmark::kMicrosecond);

void BM_SettingsSave(benchmark::State& state)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quindle2.ini"));
    for (auto _ : state) {
        // As the window saves: every key set, then the file replaced once.
        IniFile ini(path);
        bool ok = true;
        for (const char* key : {"Freq", "Speed", "Delay"})
            ok = ok && ini.setInteger(QStringLiteral("Morse"), QString::fromLatin1(key), 100);
        ok = ok && ini.setBool(QStringLiteral("Morse"), QStringLiteral("Case"), true);
        ok = ok && ini.setInteger(QStringLiteral("Morse"), QStringLiteral("Size"), 9);
        ok = ok &&
             ini.setString(QStringLiteral("Morse"), QStringLiteral("Font"), QStringLiteral("Courier New"));
        for (const char* key : {"Punctuation", "Accented", "Speaker", "Settings", "AutoCT"})
            ok = ok && ini.setBool(QStringLiteral("Morse"), QString::fromLatin1(key), false);
        ok = ok && ini.commit();
        if (!ok)
            state.SkipWithError(ini.errorString().toStdString().c_str());
    }
}
BENCHMARK(BM_SettingsSave)->Unit(benchmark::kMillisecond);

// A settings file of IniFile::kMaxFileSize bytes, the largest that a save rewrites: filler lines of
// "\n" or of "a=b\r\n" (inside [Morse], each a key to pass over), then the eleven keys at its end,
// where every lookup has the whole file to go through. A save writes the same values back, so the
// file keeps its size from one round to the next.
QByteArray largeSettings(const QByteArray& filler)
{
    const QByteArray keys = "Freq=750\r\nSpeed=100\r\nDelay=1\r\nCase=1\r\nSize=9\r\nFont=Courier New\r\n"
                            "Punctuation=0\r\nAccented=0\r\nSpeaker=0\r\nSettings=0\r\nAutoCT=0\r\n";
    const QByteArray header = "[Morse]\r\n";
    QByteArray bytes = filler == "\n" ? QByteArray() : header;
    const qsizetype room = IniFile::kMaxFileSize - bytes.size() - keys.size() - header.size();
    bytes += filler.repeated(room / filler.size());
    bytes += QByteArray(IniFile::kMaxFileSize - bytes.size() - keys.size() - header.size(), '\n');
    return bytes + header + keys;
}

// The most memory the process has held so far, as a counter. Run one benchmark per process
// (--benchmark_filter) for its own figure. [MiB]
void reportPeakMemory(benchmark::State& state)
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    state.counters["peak_MiB"] = double(usage.ru_maxrss) / 1024.0;
}

void loadLargeSettings(benchmark::State& state, const QByteArray& filler)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quindle2.ini"));
    writeSample(path, largeSettings(filler));
    for (auto _ : state) {
        IniFile ini(path);
        int sum = 0;
        for (const char* key : {"Freq", "Speed", "Delay", "Size"})
            sum += ini.readInteger(QStringLiteral("Morse"), QString::fromLatin1(key), 0);
        for (const char* key : {"Case", "Punctuation", "Accented", "Speaker", "Settings", "AutoCT"})
            sum += ini.readBool(QStringLiteral("Morse"), QString::fromLatin1(key), false);
        if (sum != 750 + 100 + 1 + 9 + 1)
            state.SkipWithError("the keys at the end were not read");
        benchmark::DoNotOptimize(ini.readString(QStringLiteral("Morse"), QStringLiteral("Font"), QString()));
    }
    reportPeakMemory(state);
}

void saveLargeSettings(benchmark::State& state, const QByteArray& filler)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("quindle2.ini"));
    writeSample(path, largeSettings(filler));
    for (auto _ : state) {
        // As the window saves: every key set, then the file replaced once.
        IniFile ini(path);
        bool ok = true;
        for (const char* key : {"Freq", "Speed", "Delay", "Size"})
            ok = ok && ini.setInteger(QStringLiteral("Morse"), QString::fromLatin1(key),
                                      QByteArray(key) == "Freq" ? 750 : QByteArray(key) == "Speed" ? 100 : 1);
        for (const char* key : {"Case", "Punctuation", "Accented", "Speaker", "Settings", "AutoCT"})
            ok = ok && ini.setBool(QStringLiteral("Morse"), QString::fromLatin1(key), false);
        ok = ok && ini.setString(QStringLiteral("Morse"), QStringLiteral("Font"), QStringLiteral("Courier New"));
        ok = ok && ini.commit();
        if (!ok)
            state.SkipWithError(ini.errorString().toStdString().c_str());
    }
    reportPeakMemory(state);
}

// A 16 MiB settings file of line breaks, and of a=b lines, read and saved.
BENCHMARK_CAPTURE(loadLargeSettings, LineBreaks, "\n")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(saveLargeSettings, LineBreaks, "\n")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(loadLargeSettings, Keys, "a=b\r\n")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(saveLargeSettings, Keys, "a=b\r\n")->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
