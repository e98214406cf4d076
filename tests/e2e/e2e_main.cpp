// The end-to-end test program. The programs under test are found by the
// paths built in, or by --molv=PATH and --standin=PATH when they live
// elsewhere (for example when the tests run under an emulator).
#include <gtest/gtest.h>

#include <cstring>

#include "runner.h"

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    molv_program = MOLV_E2E_MOLV;
    standin_program = MOLV_E2E_STANDIN;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--molv=", 7) == 0) {
            molv_program = argv[i] + 7;
        } else if (std::strncmp(argv[i], "--standin=", 10) == 0) {
            standin_program = argv[i] + 10;
        }
    }
    prepare_test_run();
    return RUN_ALL_TESTS();
}
