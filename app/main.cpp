// The node program: one node of a party, run from its working directory.
#include <string>
#include <vector>

#include <QApplication>

#include "app/tandrel_app.h"
#include "platform/memory.h"

int main(int argc, char** argv)
{
    platform::useOneHeap();
    // The switches as given, before Qt takes its own options out.
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.emplace_back(argv[i]);
    QApplication app(argc, argv);
    CTandrelApp theApp;
    return theApp.InitInstance(args);
}
