#include "quorsharemgr/EntryPoint.h"
#include "quorsharemgr/platform/Process.h"

int main(int argc, char** argv)
{
    return quor::RunShareManager(quor::platform::CommandLineArguments(argc, argv));
}
