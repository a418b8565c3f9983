#include "CopyFailure.h"

namespace {

// The causes a teacher can act on are the same whether the file was being removed or written.
QString fileAdvice(FileError::Kind kind)
{
    switch (kind) {
    case FileError::DiskFull:
        return QStringLiteral("磁盘空间不足，请清理磁盘空间后重试");
    case FileError::InUse:
        return QStringLiteral("文件被占用，请关闭学生端后重试");
    case FileError::NoPermission:
        return QStringLiteral("没有文件读写权限，请联系管理员");
    case FileError::SourceMissing:
        return QStringLiteral("下载的课件文件缺失，请等分发完成后重新检测");
    case FileError::Stopped:
        return QStringLiteral("程序正在退出，复制已中止");
    default:
        return QString();
    }
}

} // namespace

QString CopyFailure::advice() const
{
    switch (cause) {
    case None:
        return QString();
    case NotOffered:
        return QStringLiteral("该课件未通过检测，请返回重新检测");
    case NoClient:
        return QStringLiteral("未找到学生端，请先安装学生端");
    case FolderNotEmptied: {
        const QString known = fileAdvice(error.kind);
        return known.isEmpty() ? QStringLiteral("旧课件文件无法删除，请关闭学生端后重试") : known;
    }
    case FileFailed: {
        const QString known = fileAdvice(error.kind);
        return known.isEmpty() ? QStringLiteral("文件复制失败，请重试") : known;
    }
    case RefusedPath:
        return QStringLiteral("课件文件路径不安全，请联系管理员");
    case SameTarget:
        return QStringLiteral("课件中有重名文件，请联系管理员");
    }
    return QString();
}
