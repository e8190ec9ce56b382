// Stands in for the second-stage updater in tests: records how it was
// started into "stage2-record.txt" in its working directory.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QFile record(QStringLiteral("stage2-record.txt"));
    if (!record.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return 1;
    QTextStream out(&record);
    out << "cwd=" << QDir::currentPath() << '\n';
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i)
        out << "arg=" << args.at(i) << '\n';
    std::printf("stage2 standard output\n");
    std::fprintf(stderr, "stage2 standard error\n");
    return 0;
}
