#include "vd-build/PkgBuildCli.hpp"

int main(int argc, char** argv)
{
    Vandrel::Linux::PkgBuildCli cli;
    return cli.run(argc, argv);
}
