#include "cli/exit_status.h"

int run_exit_status(bool verify, const RunOutcome& outcome) {
    switch (outcome.result) {
        case RunResult::up_to_date:
        case RunResult::updated:
            return EXIT_DONE;
        case RunResult::out_of_date:
            return verify ? EXIT_OUT_OF_DATE : EXIT_RUN_FAILED;
        case RunResult::stopped:
            return EXIT_INTERRUPTED;
        case RunResult::failed:
            return EXIT_RUN_FAILED;
    }
    return EXIT_RUN_FAILED;
}
