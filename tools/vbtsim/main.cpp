// vbtsim: serves simulated measuring devices over TCP or a serial line.

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--help"))) {
        std::fputs("Usage: vbtsim SCENARIO-FILE\n"
                   "Serves the devices of a scenario file over TCP or a serial line.\n",
                   stdout);
        return 0;
    }
    std::fputs("vbtsim: no scenario given (see --help)\n", stderr);
    return 2;
}
