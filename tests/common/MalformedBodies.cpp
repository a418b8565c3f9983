#include "MalformedBodies.h"

#include <QtTest>

namespace MalformedBodies {

QList<QPair<const char *, QByteArray>> corpus()
{
    QList<QPair<const char *, QByteArray>> bodies;
    bodies.append({"empty", QByteArray()});
    bodies.append({"whitespace", QByteArray(" \r\n\t ")});
    bodies.append({"truncated", QByteArray("{\"code\":0,\"result\":{\"token\":\"ab")});
    bodies.append({"array", QByteArray("[{\"code\":0,\"success\":true}]")});
    bodies.append({"null", QByteArray("null")});
    bodies.append({"deep nesting", QByteArray(10000, '[') + QByteArray(10000, ']')});
    bodies.append({"deep object",
                   QByteArray()
                           .append(QByteArray("{\"a\":").repeated(10000))
                           .append(QByteArray("1"))
                           .append(QByteArray(10000, '}'))});
    QByteArray big("{\"code\":0,\"success\":true,\"pad\":\"");
    big.append(QByteArray(10 * 1024 * 1024, 'x'));
    big.append("\"}");
    bodies.append({"10 MB", big});
    bodies.append(
            {"invalid UTF-8", QByteArray("{\"code\":\"\xff\xfe\",\"success\":\"\xc3\x28\"}")});
    static const char withNul[] = "{\"code\":0,\0\"success\":true}";
    bodies.append({"NUL inside", QByteArray(withNul, sizeof(withNul) - 1)});
    bodies.append({"numbers for strings",
                   QByteArray("{\"code\":0,\"result\":{\"token\":12,\"managerID\":[1]},"
                              "\"coursewareList\":[{\"coursewareId\":5,\"coursewareName\":6,"
                              "\"absolutePath\":7,\"teacherId\":8,\"releaseVersion\":\"1\"}],"
                              "\"coursewareResource\":{\"success\":true,\"name\":1,\"des\":2,"
                              "\"flowConfList\":[{\"localPath\":3,\"fileMd5\":4}],"
                              "\"resourceElements\":[5]}}")});
    bodies.append({"strings for numbers",
                   QByteArray("{\"code\":\"0\",\"success\":\"true\",\"coursewareList\":\"[]\","
                              "\"coursewareResource\":\"{}\"}")});
    bodies.append({"huge integers",
                   QByteArray("{\"code\":123456789012345678901234567890,\"success\":1e400,"
                              "\"coursewareList\":[{\"releaseVersion\":99999999999999999999,"
                              "\"coursewareId\":\"c\"}]}")});
    bodies.append(
            {"lists of the wrong kind",
             QByteArray("{\"coursewareList\":{\"0\":{}},\"coursewareResource\":"
                        "{\"success\":true,\"flowConfList\":\"x\",\"resourceElements\":{}}}")});
    return bodies;
}

void addRows()
{
    QTest::addColumn<QByteArray>("body");
    for (const auto &entry : corpus())
        QTest::newRow(entry.first) << entry.second;
}

} // namespace MalformedBodies
