#include <cstdio>

#include "gateway/app.h"
#include "gateway/appcfg.h"
#include "gateway/service.h"
#include "gateway/settings.h"
#include "sim/simulatedcards.h"

int main(int argc, char** argv) {
    // Log lines on standard output reach a pipe or the journal line by line (the logger also
    // flushes each line: the Windows C runtime buffers _IOLBF streams fully, and refuses size 0).
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    sim::offer_simulated_cards();
    int go_on = 1;
    const int status = load_settings(argc, argv, &go_on);
    if (go_on == 0) return status;
    if (cfg.daemon == 1) return run_as_service();
    return app(cfg);
}
