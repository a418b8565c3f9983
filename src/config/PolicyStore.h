#ifndef POLICYSTORE_H
#define POLICYSTORE_H

#include <QString>

// The values school IT sets by Group Policy: Software\Policies\Corvin of the machine, then of
// the user. Elsewhere than on Windows there are none.
namespace PolicyStore {

enum class Scope { Machine, User };

struct Value
{
    enum class Type { Absent, Text, Number, Other };
    Type type = Type::Absent;
    QString text; // REG_SZ, REG_EXPAND_SZ
    quint32 number = 0; // REG_DWORD
    QString typeName; // as the registry names it, for the log
};

Value read(Scope scope, const QString &name);

// "HKLM\Software\Policies\Corvin\<name>" and the like, as IT reads it in regedit.
inline QString location(Scope scope, const QString &name)
{
    return QStringLiteral("%1\\Software\\Policies\\Corvin\\%2")
            .arg(scope == Scope::Machine ? QStringLiteral("HKLM") : QStringLiteral("HKCU"), name);
}

} // namespace PolicyStore

#endif // POLICYSTORE_H
