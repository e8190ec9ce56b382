#include "logsourcefactory.h"

#include "filelogsource.h"
#include "journallogsource.h"
#include "stdinlogsource.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <utility>

LogSource *LogSourceFactory::create(const QString &sourceText, const QString &stateDir, QString *error, QObject *parent)
{
    LogSource *source = createUnnamed(sourceText, stateDir, error, parent);
    if (source)
        source->m_name = sourceText;
    return source;
}

QVector<LogSource *> LogSourceFactory::createAll(const QStringList &sourceTexts, const QString &stateDir,
                                                 QString *error, QObject *parent)
{
    if (sourceTexts.isEmpty()) {
        *error = QStringLiteral("no log source named");
        return {};
    }
    QVector<LogSource *> sources;
    for (const QString &text : sourceTexts) {
        LogSource *source = create(text, stateDir, error, parent);
        for (const LogSource *earlier : qAsConst(sources)) {
            if (source && earlier->sharedResource() == source->sharedResource()) {
                *error = QStringLiteral("log sources \"%1\" and \"%2\" would both read %3")
                             .arg(earlier->name(), text, source->sharedResource());
                delete std::exchange(source, nullptr);
            }
        }
        if (!source) {
            qDeleteAll(sources);
            return {};
        }
        sources.append(source);
    }
    return sources;
}

LogSource *LogSourceFactory::createUnnamed(const QString &sourceText, const QString &stateDir, QString *error,
                                           QObject *parent)
{
    if (sourceText == QLatin1String("stdin"))
        return new StdinLogSource(parent);

    const QLatin1String filePrefix("file:");
    if (sourceText.startsWith(filePrefix)) {
        const QString path = sourceText.mid(filePrefix.size());
        if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) {
            *error = QStringLiteral("log source \"%1\" names no file").arg(sourceText);
            return nullptr;
        }
        // Followed without links (see FileLogSource): the file itself is named.
        if (QFileInfo(path).isSymLink()) {
            *error = QStringLiteral("log source \"%1\" is a symbolic link: name the file it points to, %2")
                         .arg(sourceText, QFileInfo(path).symLinkTarget());
            return nullptr;
        }
        // Where it stopped is kept per file, so that the next start goes on.
        const QString absolute = QFileInfo(path).absoluteFilePath();
        const QString position = stateDir.isEmpty()
            ? QString()
            : QDir(stateDir).filePath(QStringLiteral("file-%1.position")
                                          .arg(QString::fromLatin1(QCryptographicHash::hash(absolute.toUtf8(),
                                                                                            QCryptographicHash::Sha256)
                                                                       .toHex()
                                                                       .left(16))));
        return new FileLogSource(absolute, position, parent);
    }

    const QLatin1String journalPrefix("journal:");
    if (sourceText.startsWith(journalPrefix)) {
        QStringList selection;
        const QStringList items = sourceText.mid(journalPrefix.size()).split(QLatin1Char(','));
        for (const QString &raw : items) {
            const QString item = raw.trimmed();
            if (item.isEmpty())
                continue;
            bool isPathOption = false;
            for (const QLatin1String option : {QLatin1String("--file="), QLatin1String("--directory=")}) {
                if (item.startsWith(option) && item.size() > option.size()) {
                    // journalctl cannot follow a journal file named without a folder.
                    selection << option + QFileInfo(item.mid(option.size())).absoluteFilePath();
                    isPathOption = true;
                }
            }
            if (isPathOption)
                continue;
            // Units only: the rest of journalctl's options stay ours.
            if (item.startsWith(QLatin1Char('-'))) {
                *error = QStringLiteral("log source \"%1\": \"%2\" is no unit name").arg(sourceText, item);
                return nullptr;
            }
            selection << QStringLiteral("--unit=") + item;
        }
        if (selection.isEmpty()) {
            *error = QStringLiteral("log source \"%1\" names no unit").arg(sourceText);
            return nullptr;
        }
        if (stateDir.isEmpty()) {
            *error = QStringLiteral("log source \"%1\" needs a state folder for its cursor").arg(sourceText);
            return nullptr;
        }
        return new JournalLogSource(selection, QDir(stateDir).filePath(QStringLiteral("journal.cursor")), parent);
    }

    *error = QStringLiteral("unknown log source \"%1\" (journal:UNIT, file:PATH or stdin)").arg(sourceText);
    return nullptr;
}
