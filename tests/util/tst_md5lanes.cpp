#include "util/Md5Lanes.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QtTest>

#include <cstring>

class tst_Md5Lanes : public QObject
{
    Q_OBJECT

private slots:
    void sameAsOneByOne_data();
    void sameAsOneByOne();
    void streamSameAsOneByOne_data();
    void streamSameAsOneByOne();
};

void tst_Md5Lanes::sameAsOneByOne_data()
{
    QTest::addColumn<QVector<int>>("sizes");
    // Around the padding's edges: the length fits the last block up to 55 bytes, needs one more
    // from 56 on.
    QTest::newRow("empty") << QVector<int> {0};
    QTest::newRow("one lane at each edge") << QVector<int> {55};
    QTest::newRow("two lanes") << QVector<int> {56, 3};
    QTest::newRow("three lanes, one empty") << QVector<int> {63, 0, 64};
    QTest::newRow("four equal") << QVector<int> {4096, 4096, 4096, 4096};
    QTest::newRow("four around a block") << QVector<int> {119, 120, 128, 65};
    QTest::newRow("lanes end far apart") << QVector<int> {1, 65543, 200, 0};
    QTest::newRow("longest first") << QVector<int> {70000, 4095, 4097, 12};
}

// A stream's lanes are two vectors: lanes in both halves, and some left empty.
void tst_Md5Lanes::streamSameAsOneByOne_data()
{
    sameAsOneByOne_data();
    QTest::newRow("five, into the second vector") << QVector<int> {64, 0, 5000, 127, 128};
    QTest::newRow("eight, far apart") << QVector<int> {1, 65543, 200, 0, 4096, 63, 9000, 64};
}

void tst_Md5Lanes::sameAsOneByOne()
{
    QFETCH(QVector<int>, sizes);
    QVector<QByteArray> contents;
    Md5Lanes::Message messages[Md5Lanes::width];
    for (int l = 0; l < sizes.size(); ++l) {
        QByteArray bytes(sizes[l], Qt::Uninitialized);
        for (char &c : bytes)
            c = char(QRandomGenerator::global()->bounded(256));
        contents.append(bytes);
        messages[l].data = contents.last().constData();
        messages[l].size = bytes.size();
    }
    unsigned char digests[Md5Lanes::width][16];
    std::memset(digests, 0xee, sizeof digests);
    Md5Lanes::hash(messages, sizes.size(), digests);
    for (int l = 0; l < sizes.size(); ++l) {
        const QByteArray got(reinterpret_cast<const char *>(digests[l]), 16);
        QCOMPARE(got.toHex(),
                 QCryptographicHash::hash(contents[l], QCryptographicHash::Md5).toHex());
    }
    // Lanes not asked for stay untouched.
    for (int l = sizes.size(); l < Md5Lanes::width; ++l)
        QCOMPARE(digests[l][0], (unsigned char)0xee);
}

// Each lane fed a few blocks at a time, finished when less than a block is left, then started
// again with a second message while the others go on.
void tst_Md5Lanes::streamSameAsOneByOne()
{
    QFETCH(QVector<int>, sizes);
    QVector<QByteArray> messages;
    for (int size : sizes + sizes) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char &c : bytes)
            c = char(QRandomGenerator::global()->bounded(256));
        messages.append(bytes);
    }
    Md5Lanes::Stream stream;
    int message[Md5Lanes::Stream::width];
    qint64 done[Md5Lanes::Stream::width] = {};
    for (int l = 0; l < Md5Lanes::Stream::width; ++l)
        message[l] = l < sizes.size() ? l : -1;
    for (;;) {
        qint64 blocks = 3;
        const char *data[Md5Lanes::Stream::width];
        for (int l = 0; l < Md5Lanes::Stream::width; ++l) {
            if (message[l] < 0)
                continue;
            const QByteArray &bytes = messages[message[l]];
            if (bytes.size() - done[l] < 64) {
                unsigned char digest[16];
                stream.finish(l, bytes.constData() + done[l], bytes.size() - done[l], bytes.size(),
                              digest);
                QCOMPARE(QByteArray(reinterpret_cast<const char *>(digest), 16).toHex(),
                         QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
                message[l] = message[l] < sizes.size() ? message[l] + sizes.size() : -1;
                done[l] = 0;
                stream.restart(l);
            }
        }
        const char *some = nullptr;
        for (int l = 0; l < Md5Lanes::Stream::width; ++l) {
            if (message[l] >= 0) {
                blocks = qMin(blocks, (messages[message[l]].size() - done[l]) / 64);
                some = messages[message[l]].constData() + done[l];
            }
        }
        if (!some)
            break;
        for (int l = 0; l < Md5Lanes::Stream::width; ++l)
            data[l] = message[l] >= 0 ? messages[message[l]].constData() + done[l] : some;
        stream.add(data, blocks);
        for (int l = 0; l < Md5Lanes::Stream::width; ++l)
            done[l] += message[l] >= 0 ? blocks * 64 : 0;
    }
}

QTEST_GUILESS_MAIN(tst_Md5Lanes)
#include "tst_md5lanes.moc"
