#ifndef SETTINGSOURCES_H
#define SETTINGSOURCES_H

#include <QString>
#include <QStringList>
#include <QVariant>

class QSettings;

// The settings school IT may set by Group Policy as well as in config.ini, and where each
// value comes from: machine policy, then user policy, then config.ini, then the built-in default.
namespace SettingSources {

enum class Source { MachinePolicy, UserPolicy, ConfigFile, Default };

struct Setting
{
    QVariant value;
    Source source = Source::Default;
};

// The keys that policies can set, in the order the log and the About box name them.
QStringList keys();
bool governs(const QString &key);

// key's value and its source; each policy or config.ini value passed over is described in
// ignored (for the log).
Setting resolve(const QString &key, const QSettings &config, QStringList *ignored = nullptr);

QString sourceName(Source source);
// The value as the log and the About box show it: an address without its user info.
QString shown(const QString &key, const QVariant &value);

} // namespace SettingSources

#endif // SETTINGSOURCES_H
