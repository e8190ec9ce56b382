// The program's command line: the input is cut into arguments at NUL bytes.
#include "commandlineparser.h"
#include "fuzzsupport.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args{"plogger4"};
    std::string current;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += char(data[i]);
        }
    }
    if (size > 0)
        args.push_back(current);
    std::vector<const char *> argv;
    for (const std::string &a : args)
        argv.push_back(a.c_str());
    argv.push_back(nullptr);

    CommandLineParser parser;
    parser.addOption(QStringLiteral("s"), QStringLiteral("skip-updates"), false, true);
    parser.addOption(QStringLiteral("r"), QStringLiteral("updates-server"), true, true);
    parser.addOption(QStringLiteral("t"), QStringLiteral("updates-key"), true, true);
    const bool ok = parser.parse(int(args.size()), argv.data());
    // A second parse of the same line gives the same answer.
    FUZZ_CHECK(parser.parse(int(args.size()), argv.data()) == ok);
    FUZZ_CHECK(parser.errorString().isEmpty() == ok);
    if (!ok)
        return 0;
    // No positional arguments and no repeats: at most one name per option
    // plus the values of the two that take one.
    FUZZ_CHECK(args.size() <= 1 + 5);
    FUZZ_CHECK(parser.isSet(QStringLiteral("s")) == parser.isSet(QStringLiteral("skip-updates")));
    FUZZ_CHECK(!parser.value(QStringLiteral("s")).isValid());
    for (const QString &name : {QStringLiteral("r"), QStringLiteral("t")}) {
        if (!parser.isSet(name)) {
            FUZZ_CHECK(!parser.value(name).isValid());
            continue;
        }
        // Every value is an argument as given, or empty when the line ended.
        const QString value = parser.value(name).toString();
        bool found = value.isEmpty();
        for (size_t i = 1; i < args.size() && !found; ++i)
            found = QString::fromUtf8(args[i].c_str()) == value;
        FUZZ_CHECK(found);
    }
    return 0;
}
