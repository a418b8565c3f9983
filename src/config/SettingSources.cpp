#include "SettingSources.h"

#include "config/PolicyStore.h"
#include "config/ProxyChoice.h"

#include <QSettings>
#include <QUrl>

namespace SettingSources {

namespace {

struct Rule
{
    QString key;
    QString policy;
    bool number; // REG_DWORD; otherwise REG_SZ
    QVariant fallback;
    // Why a text value cannot be used; empty when it can.
    QString (*refusal)(const QString &text);
    bool checkConfig; // config.ini's value is checked as well
};

QString notAnAddress(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (url.isValid() && !url.host().isEmpty()
        && (url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https")))
        return QString();
    return QStringLiteral("not an http or https address");
}

QString notAProxy(const QString &text)
{
    QNetworkProxy proxy;
    return ProxyChoice::parse(text, &proxy) ? QString()
                                            : QStringLiteral("not system, none or host:port");
}

const QList<Rule> &rules()
{
    // config.ini's address is taken as it stands, as it always was.
    static const QList<Rule> list {
            {QStringLiteral("Server/CorvinHost"), QStringLiteral("CorvinHost"), false,
             QVariant(QString()), notAnAddress, false},
            {QStringLiteral("Server/MD5"), QStringLiteral("MD5"), true, QVariant(1), nullptr,
             false},
            {QStringLiteral("Network/Proxy"), QStringLiteral("Proxy"), false,
             QVariant(QStringLiteral("system")), notAProxy, true},
            {QStringLiteral("Diagnostics/Disable"), QStringLiteral("DisableDiagnostics"), true,
             QVariant(0), nullptr, false}};
    return list;
}

const Rule *ruleFor(const QString &key)
{
    for (const Rule &rule : rules()) {
        if (rule.key == key)
            return &rule;
    }
    return nullptr;
}

} // namespace

QStringList keys()
{
    QStringList list;
    for (const Rule &rule : rules())
        list.append(rule.key);
    return list;
}

bool governs(const QString &key)
{
    return ruleFor(key) != nullptr;
}

Setting resolve(const QString &key, const QSettings &config, QStringList *ignored)
{
    const Rule *rule = ruleFor(key);
    if (!rule)
        return Setting {config.value(key), Source::ConfigFile};
    for (const PolicyStore::Scope scope : {PolicyStore::Scope::Machine, PolicyStore::Scope::User}) {
        const PolicyStore::Value value = PolicyStore::read(scope, rule->policy);
        if (value.type == PolicyStore::Value::Type::Absent)
            continue;
        const Source source
                = scope == PolicyStore::Scope::Machine ? Source::MachinePolicy : Source::UserPolicy;
        const QString where = PolicyStore::location(scope, rule->policy);
        const auto expected
                = rule->number ? PolicyStore::Value::Type::Number : PolicyStore::Value::Type::Text;
        if (value.type != expected) {
            if (ignored)
                ignored->append(QStringLiteral("%1: %2, %3 expected")
                                        .arg(where, value.typeName,
                                             rule->number ? QStringLiteral("REG_DWORD")
                                                          : QStringLiteral("REG_SZ")));
            continue;
        }
        if (rule->number)
            return Setting {QVariant(int(value.number)), source};
        const QString refusal = rule->refusal ? rule->refusal(value.text) : QString();
        if (refusal.isEmpty())
            return Setting {QVariant(value.text), source};
        if (ignored)
            ignored->append(QStringLiteral("%1: \"%2\" is %3").arg(where, value.text, refusal));
    }
    if (config.contains(key)) {
        const QVariant value = config.value(key);
        const QString refusal
                = rule->checkConfig && rule->refusal ? rule->refusal(value.toString()) : QString();
        if (refusal.isEmpty())
            return Setting {value, Source::ConfigFile};
        if (ignored)
            ignored->append(QStringLiteral("config.ini %1: \"%2\" is %3")
                                    .arg(key, value.toString(), refusal));
    }
    return Setting {rule->fallback, Source::Default};
}

QString sourceName(Source source)
{
    switch (source) {
    case Source::MachinePolicy:
        return QStringLiteral("machine policy");
    case Source::UserPolicy:
        return QStringLiteral("user policy");
    case Source::ConfigFile:
        return QStringLiteral("config.ini");
    case Source::Default:
        return QStringLiteral("default");
    }
    return QString();
}

QString shown(const QString &key, const QVariant &value)
{
    if (key == QLatin1String("Server/CorvinHost"))
        return QUrl(value.toString()).toString(QUrl::RemoveUserInfo);
    return value.toString();
}

} // namespace SettingSources
