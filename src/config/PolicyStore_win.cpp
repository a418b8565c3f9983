#include "PolicyStore.h"

#include <QVector>

#include <windows.h>

namespace PolicyStore {

Value read(Scope scope, const QString &name)
{
    Value value;
    const HKEY root = scope == Scope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
    const std::wstring wideName = name.toStdWString();
    DWORD type = 0;
    DWORD size = 0;
    if (RegGetValueW(root, L"Software\\Policies\\Corvin", wideName.c_str(),
                     RRF_RT_ANY | RRF_NOEXPAND, &type, nullptr, &size)
        != ERROR_SUCCESS)
        return value;
    QVector<char> data(int(size) + 2, 0);
    if (RegGetValueW(root, L"Software\\Policies\\Corvin", wideName.c_str(),
                     RRF_RT_ANY | RRF_NOEXPAND, &type, data.data(), &size)
        != ERROR_SUCCESS)
        return value;
    switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
        value.type = Value::Type::Text;
        value.typeName
                = type == REG_SZ ? QStringLiteral("REG_SZ") : QStringLiteral("REG_EXPAND_SZ");
        value.text = QString::fromWCharArray(reinterpret_cast<const wchar_t *>(data.constData()));
        break;
    case REG_DWORD:
        value.type = Value::Type::Number;
        value.typeName = QStringLiteral("REG_DWORD");
        value.number = *reinterpret_cast<const DWORD *>(data.constData());
        break;
    default:
        value.type = Value::Type::Other;
        value.typeName = QStringLiteral("type %1").arg(type);
        break;
    }
    return value;
}

} // namespace PolicyStore
