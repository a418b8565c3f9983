#include "TestSupport.h"

#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

// The picture program, run as a process: every state it promises is there, window-sized at the
// display's scale, and shows what the state is about; the program itself fails when a text does
// not fit its widget. CTest runs it under Wine at 125, 150 and 200 % too.
class tst_Pictures : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void picture_data();
    void picture();
    void nothingElseWritten();
    void publishedPicturesCurrent_data();
    void publishedPicturesCurrent();

private:
    QTemporaryDir out;
    QStringList expected;
};

namespace {

// Pixels drawn in pure-ish red: the error texts' colour.
int redPixels(const QImage &image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90)
                ++count;
        }
    }
    return count;
}

int distinctColours(const QImage &image)
{
    QSet<QRgb> colours;
    for (int y = 0; y < image.height(); y += 2) {
        for (int x = 0; x < image.width(); x += 2)
            colours.insert(image.pixel(x, y));
    }
    return colours.size();
}

} // namespace

void tst_Pictures::initTestCase()
{
    QVERIFY(out.isValid());
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(CORVIN_PICTURES), {out.path()});
    QVERIFY(process.waitForFinished(120000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    // It names each file it wrote, one per line, in UTF-8.
    const QStringList lines
            = QString::fromUtf8(process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines)
        expected.append(QFileInfo(line.trimmed()).fileName());
}

void tst_Pictures::picture_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("redText");
    // Device pixels: the designed sizes at the display's scale.
    const QSize login = TestSupport::atChosenScale(QSize(640, 480));
    const QSize select = TestSupport::atChosenScale(QSize(640, 480));
    const QSize prepare = TestSupport::atChosenScale(QSize(677, 436));
    QTest::newRow("login") << "login.png" << login << false;
    QTest::newRow("login refused") << "login-error.png" << login << true;
    // The waiting text is in the tip's red too.
    QTest::newRow("selection waiting") << "select-waiting.png" << select << true;
    QTest::newRow("selection without courseware") << "select-empty.png" << select << true;
    QTest::newRow("selection, list failed") << "select-failed.png" << select << true;
    QTest::newRow("about") << "about.png" << QSize() << false;
    QTest::newRow("login, captive portal") << "network-portal.png" << login << true;
    QTest::newRow("login, gateway") << "network-gateway.png" << login << true;
    QTest::newRow("login, unknown name") << "network-unknown-name.png" << login << true;
    // With the list of courseware not offered, each with its reason.
    QTest::newRow("selection") << "select.png" << select << false;
    QTest::newRow("selection after a re-check") << "select-rechecked.png" << select << false;
    QTest::newRow("preparing") << "prepare-preparing.png" << prepare << false;
    QTest::newRow("ready") << "prepare-ready.png" << prepare << false;
    // The failure text and the reason line under it.
    QTest::newRow("failed") << "prepare-failed.png" << prepare << true;
    QTest::newRow("start confirmation") << "start-confirm.png" << QSize() << false;
    QTest::newRow("client still running") << "start-running.png" << QSize() << false;
}

void tst_Pictures::picture()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);
    QFETCH(bool, redText);
    QVERIFY2(expected.contains(file), qPrintable(expected.join(' ')));
    QImage image;
    QVERIFY(image.load(out.filePath(file), "PNG"));
    if (size.isValid())
        QCOMPARE(image.size(), size);
    else
        QVERIFY(image.width() > 50 && image.height() > 20);
    // Text and frames, not one flat colour.
    QVERIFY(distinctColours(image) > 8);
    QCOMPARE(redPixels(image) > 20, redText);
}

void tst_Pictures::nothingElseWritten()
{
    QStringList written = QDir(out.path()).entryList({QStringLiteral("*.png")}, QDir::Files);
    QStringList named = expected;
    named.sort();
    QCOMPARE(written, named);
    QCOMPARE(written.size(), 16);
    // Beside each picture, the list of its window's controls.
    QCOMPARE(QDir(out.path()).entryList(QDir::Files).size(), 32);
}

void tst_Pictures::publishedPicturesCurrent_data()
{
    QTest::addColumn<QString>("published");
    QTest::addColumn<QString>("state");
    const QDir docs(QStringLiteral(CORVIN_PUBLISHED_PICTURES));
    const QStringList pictures = docs.entryList({QStringLiteral("*.png")}, QDir::Files);
    QVERIFY(pictures.size() >= 12);
    for (const QString &picture : pictures) {
        const QString base = docs.filePath(QFileInfo(picture).completeBaseName());
        // "win150-select" is the selection at 150 %: the same controls.
        const QString state = QFileInfo(picture).completeBaseName().remove(
                QRegularExpression(QStringLiteral("^win\\d+-")));
        QTest::newRow(qPrintable(picture)) << base << state;
    }
}

// A published picture shows the window as it is: the controls listed beside it when it was made
// are those the window shows now.
void tst_Pictures::publishedPicturesCurrent()
{
    QFETCH(QString, published);
    QFETCH(QString, state);
    QFile kept(published + QStringLiteral(".controls"));
    QVERIFY2(kept.open(QIODevice::ReadOnly), qPrintable(kept.fileName()));
    QFile now(out.filePath(state + QStringLiteral(".controls")));
    QVERIFY2(now.open(QIODevice::ReadOnly), qPrintable(now.fileName()));
    QCOMPARE(QString::fromUtf8(kept.readAll()), QString::fromUtf8(now.readAll()));
}

QTEST_MAIN(tst_Pictures)
#include "tst_pictures.moc"
