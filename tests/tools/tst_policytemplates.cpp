#include <QFile>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QXmlStreamReader>
#include <QtTest>

// The Group Policy templates shipped for IT (packaging/policy): every policy writes exactly the
// registry value Corvin reads, under Software\Policies\Corvin, and every text and presentation the
// ADMX names is there in each language's ADML. The Group Policy editor hides a policy whose
// texts are missing, and says nothing about it.
class tst_PolicyTemplates : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void policy_data();
    void policy();
    void nothingElseWritten();
    void language_data();
    void language();
    void brokenLanguageIsCaught_data();
    void brokenLanguageIsCaught();
};

namespace {

const QString policyKey = QStringLiteral("Software\\Policies\\Corvin");

struct Element
{
    QString type; // text, decimal, ...
    QString id;
    QString key;
    QString valueName;
};

struct Policy
{
    QString className;
    QString key;
    QString valueName;
    QString category;
    QString presentation;
    QString enabledDecimal;
    QString disabledDecimal;
    QList<Element> elements;
};

struct Admx
{
    QMap<QString, Policy> policies;
    QSet<QString> categories;
    QSet<QString> strings; // ids used as $(string.X)
    QSet<QString> presentations; // ids used as $(presentation.X)
};

struct Adml
{
    QSet<QString> strings;
    QMap<QString, QSet<QString>> presentations; // id: the element ids its controls refer to
};

QString reference(const QString &value, const QString &table)
{
    static const QRegularExpression pattern(QStringLiteral("^\\$\\((\\w+)\\.(\\w+)\\)$"));
    const auto match = pattern.match(value);
    return match.hasMatch() && match.captured(1) == table ? match.captured(2) : QString();
}

bool parseAdmx(const QByteArray &xml, Admx &admx, QString &error)
{
    QXmlStreamReader reader(xml);
    Policy *policy = nullptr;
    QString valueOf; // enabledValue or disabledValue while inside one
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement()) {
            const auto name = reader.name();
            if (name == QLatin1String("policy"))
                policy = nullptr;
            else if (name == QLatin1String("enabledValue")
                     || name == QLatin1String("disabledValue"))
                valueOf.clear();
            continue;
        }
        if (!reader.isStartElement())
            continue;
        const auto attributes = reader.attributes();
        for (const auto &attribute : attributes) {
            const QString value = attribute.value().toString();
            const QString string = reference(value, QStringLiteral("string"));
            const QString presentation = reference(value, QStringLiteral("presentation"));
            if (!string.isEmpty())
                admx.strings.insert(string);
            if (!presentation.isEmpty())
                admx.presentations.insert(presentation);
        }
        const QString name = reader.name().toString();
        const auto attribute = [&](const char *n) {
            return attributes.value(QLatin1String(n)).toString();
        };
        if (name == QLatin1String("category")) {
            admx.categories.insert(attribute("name"));
        } else if (name == QLatin1String("policy")) {
            policy = &admx.policies[attribute("name")];
            policy->className = attribute("class");
            policy->key = attribute("key");
            policy->valueName = attribute("valueName");
            policy->presentation
                    = reference(attribute("presentation"), QStringLiteral("presentation"));
        } else if (!policy) {
            continue;
        } else if (name == QLatin1String("parentCategory")) {
            policy->category = attribute("ref");
        } else if (name == QLatin1String("enabledValue")
                   || name == QLatin1String("disabledValue")) {
            valueOf = name;
        } else if (!valueOf.isEmpty() && name == QLatin1String("decimal")) {
            (valueOf == QLatin1String("enabledValue") ? policy->enabledDecimal
                                                      : policy->disabledDecimal)
                    = attribute("value");
        } else if (!valueOf.isEmpty()) {
            error = QStringLiteral("%1: a value of kind %2").arg(policy->key, name);
            return false;
        } else if (attributes.hasAttribute(QLatin1String("valueName"))) {
            policy->elements.append(
                    {name, attribute("id"), attribute("key"), attribute("valueName")});
        }
    }
    error = reader.errorString();
    return !reader.hasError();
}

bool parseAdml(const QByteArray &xml, Adml &adml, QString &error)
{
    QXmlStreamReader reader(xml);
    QString presentation;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isEndElement() && reader.name() == QLatin1String("presentation"))
            presentation.clear();
        if (!reader.isStartElement())
            continue;
        const auto attributes = reader.attributes();
        if (reader.name() == QLatin1String("string")) {
            adml.strings.insert(attributes.value(QLatin1String("id")).toString());
        } else if (reader.name() == QLatin1String("presentation")) {
            presentation = attributes.value(QLatin1String("id")).toString();
            adml.presentations[presentation];
        } else if (!presentation.isEmpty() && attributes.hasAttribute(QLatin1String("refId"))) {
            adml.presentations[presentation].insert(
                    attributes.value(QLatin1String("refId")).toString());
        }
    }
    error = reader.errorString();
    return !reader.hasError();
}

// What the ADML lacks or has in excess for the ADMX; empty when they match.
QStringList mismatches(const Admx &admx, const Adml &adml)
{
    QStringList found;
    for (const QString &id : admx.strings - adml.strings)
        found << QStringLiteral("string %1 undefined").arg(id);
    for (const QString &id : adml.strings - admx.strings)
        found << QStringLiteral("string %1 unused").arg(id);
    QSet<QString> presentations;
    for (const QString &id : adml.presentations.keys())
        presentations.insert(id);
    for (const QString &id : admx.presentations - presentations)
        found << QStringLiteral("presentation %1 undefined").arg(id);
    for (auto policy = admx.policies.cbegin(); policy != admx.policies.cend(); ++policy) {
        QSet<QString> elements;
        for (const Element &element : policy->elements)
            elements.insert(element.id);
        const QSet<QString> controls = adml.presentations.value(policy->presentation);
        if (controls != elements)
            found << QStringLiteral("presentation of %1 shows %2, its values are %3")
                             .arg(policy.key(),
                                  QStringList(controls.values()).join(QLatin1Char(',')),
                                  QStringList(elements.values()).join(QLatin1Char(',')));
    }
    found.sort();
    return found;
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

Admx theAdmx;

} // namespace

void tst_PolicyTemplates::initTestCase()
{
    const QByteArray xml = readAll(QStringLiteral(CORVIN_POLICY_DIR "/Corvin.admx"));
    QVERIFY(!xml.isEmpty());
    QString error;
    QVERIFY2(parseAdmx(xml, theAdmx, error), qPrintable(error));
}

void tst_PolicyTemplates::policy_data()
{
    QTest::addColumn<QString>("valueName");
    QTest::addColumn<bool>("text"); // REG_SZ from a text box; otherwise REG_DWORD 1 / 0

    QTest::newRow("service address") << "CorvinHost" << true;
    QTest::newRow("MD5 check") << "MD5" << false;
    QTest::newRow("proxy") << "Proxy" << true;
    QTest::newRow("no diagnostics export") << "DisableDiagnostics" << false;
}

void tst_PolicyTemplates::policy()
{
    QFETCH(QString, valueName);
    QFETCH(bool, text);

    QVERIFY2(theAdmx.policies.contains(valueName), qPrintable(valueName));
    const Policy policy = theAdmx.policies.value(valueName);
    QCOMPARE(policy.className, QStringLiteral("Both"));
    QCOMPARE(policy.key, policyKey);
    QCOMPARE(policy.category, QStringLiteral("Corvin"));
    QVERIFY(theAdmx.categories.contains(policy.category));
    if (text) {
        QCOMPARE(policy.elements.size(), 1);
        const Element element = policy.elements.first();
        QCOMPARE(element.type, QStringLiteral("text"));
        QCOMPARE(element.valueName, valueName);
        QVERIFY(element.key.isEmpty() || element.key == policyKey);
        QVERIFY(policy.valueName.isEmpty());
        QVERIFY(!policy.presentation.isEmpty());
    } else {
        QVERIFY(policy.elements.isEmpty());
        QCOMPARE(policy.valueName, valueName);
        QCOMPARE(policy.enabledDecimal, QStringLiteral("1"));
        QCOMPARE(policy.disabledDecimal, QStringLiteral("0"));
    }
}

void tst_PolicyTemplates::nothingElseWritten()
{
    QSet<QString> written;
    for (const Policy &policy : qAsConst(theAdmx.policies)) {
        QCOMPARE(policy.key, policyKey);
        if (!policy.valueName.isEmpty())
            written.insert(policy.valueName);
        for (const Element &element : policy.elements) {
            QVERIFY(element.key.isEmpty() || element.key == policyKey);
            written.insert(element.valueName);
        }
    }
    const QSet<QString> expected {QStringLiteral("CorvinHost"), QStringLiteral("MD5"),
                                  QStringLiteral("Proxy"), QStringLiteral("DisableDiagnostics")};
    QCOMPARE(written, expected);
    QCOMPARE(theAdmx.policies.size(), expected.size());
}

void tst_PolicyTemplates::language_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("Chinese") << "zh-CN";
    QTest::newRow("English") << "en-US";
}

void tst_PolicyTemplates::language()
{
    QFETCH(QString, language);

    const QByteArray xml
            = readAll(QStringLiteral(CORVIN_POLICY_DIR "/%1/Corvin.adml").arg(language));
    QVERIFY(!xml.isEmpty());
    Adml adml;
    QString error;
    QVERIFY2(parseAdml(xml, adml, error), qPrintable(error));
    QVERIFY(!theAdmx.strings.isEmpty());
    QCOMPARE(mismatches(theAdmx, adml), QStringList());
}

// The comparison itself finds what an edit of one file alone breaks.
void tst_PolicyTemplates::brokenLanguageIsCaught_data()
{
    QTest::addColumn<QByteArray>("from");
    QTest::addColumn<QByteArray>("to");
    QTest::addColumn<QString>("expected");

    QTest::newRow("string renamed")
            << QByteArray("<string id=\"MD5_Help\">") << QByteArray("<string id=\"MD5Help\">")
            << "string MD5Help unused|string MD5_Help undefined";
    QTest::newRow("presentation renamed")
            << QByteArray("<presentation id=\"Proxy\">")
            << QByteArray("<presentation id=\"Proxies\">")
            << "presentation Proxy undefined|presentation of Proxy shows , its values are Proxy";
    QTest::newRow("text box of another value")
            << QByteArray("<textBox refId=\"CorvinHost\">")
            << QByteArray("<textBox refId=\"Host\">")
            << "presentation of CorvinHost shows Host, its values are CorvinHost";
}

void tst_PolicyTemplates::brokenLanguageIsCaught()
{
    QFETCH(QByteArray, from);
    QFETCH(QByteArray, to);
    QFETCH(QString, expected);

    QByteArray xml = readAll(QStringLiteral(CORVIN_POLICY_DIR "/en-US/Corvin.adml"));
    QVERIFY(xml.contains(from));
    xml.replace(from, to);
    Adml adml;
    QString error;
    QVERIFY2(parseAdml(xml, adml, error), qPrintable(error));
    QCOMPARE(mismatches(theAdmx, adml).join(QLatin1Char('|')), expected);
}

QTEST_GUILESS_MAIN(tst_PolicyTemplates)
#include "tst_policytemplates.moc"
