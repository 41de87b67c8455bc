/*
 * svcconfig NAME: prints a service's configuration as "sc qc NAME" does (the lines
 * BINARY_PATH_NAME, START_TYPE, TYPE and DISPLAY_NAME), from the service control manager,
 * and its recovery actions as QueryServiceConfig2W tells them (FAILURE_ACTIONS, e.g.
 * "reset 600 s: restart 30000 ms, none", and FAILURE_ACTIONS_FLAG, 1 when a stop with an exit
 * code counts as a failure). Wine's sc has no qc command; this asks the same manager.
 * Exit status: 0 printed, 1 no such service, 2 other failure.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static const char *action_name(SC_ACTION_TYPE type) {
    switch (type) {
        case SC_ACTION_NONE: return "none";
        case SC_ACTION_RESTART: return "restart";
        case SC_ACTION_REBOOT: return "reboot";
        case SC_ACTION_RUN_COMMAND: return "run";
        default: return "unknown";
    }
}

static void print_recovery(SC_HANDLE service) {
    DWORD needed = 0;
    SERVICE_FAILURE_ACTIONS_FLAG flag = {0};
    SERVICE_FAILURE_ACTIONSW *actions;
    QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, NULL, 0, &needed);
    actions = needed ? malloc(needed) : NULL;
    if (actions && QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, (BYTE *)actions, needed, &needed)) {
        DWORD i;
        printf("        FAILURE_ACTIONS    : reset %lu s:", (unsigned long)actions->dwResetPeriod);
        for (i = 0; i < actions->cActions; ++i)
            printf("%s %s %lu ms", i ? "," : "", action_name(actions->lpsaActions[i].Type),
                   (unsigned long)actions->lpsaActions[i].Delay);
        printf("\n");
    } else {
        printf("        FAILURE_ACTIONS    : unknown (error %lu)\n", (unsigned long)GetLastError());
    }
    free(actions);
    if (QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, (BYTE *)&flag, sizeof flag, &needed))
        printf("        FAILURE_ACTIONS_FLAG : %d\n", flag.fFailureActionsOnNonCrashFailures ? 1 : 0);
    else
        printf("        FAILURE_ACTIONS_FLAG : unknown (error %lu)\n", (unsigned long)GetLastError());
}

static const char *start_type_name(DWORD type) {
    switch (type) {
        case SERVICE_BOOT_START: return "BOOT_START";
        case SERVICE_SYSTEM_START: return "SYSTEM_START";
        case SERVICE_AUTO_START: return "AUTO_START";
        case SERVICE_DEMAND_START: return "DEMAND_START";
        case SERVICE_DISABLED: return "DISABLED";
        default: return "UNKNOWN";
    }
}

int wmain(int argc, wchar_t **argv) {
    SC_HANDLE manager, service;
    QUERY_SERVICE_CONFIGW *config;
    DWORD needed = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: svcconfig NAME\n");
        return 2;
    }
    manager = OpenSCManagerW(NULL, NULL, SC_MANAGER_CONNECT);
    if (!manager) return 2;
    service = OpenServiceW(manager, argv[1], SERVICE_QUERY_CONFIG);
    if (!service) {
        DWORD error = GetLastError();
        CloseServiceHandle(manager);
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? 1 : 2;
    }
    QueryServiceConfigW(service, NULL, 0, &needed);
    config = needed ? malloc(needed) : NULL;
    if (!config || !QueryServiceConfigW(service, config, needed, &needed)) {
        free(config);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return 2;
    }
    printf("SERVICE_NAME: %ls\n", argv[1]);
    printf("        TYPE               : %lx\n", (unsigned long)config->dwServiceType);
    printf("        START_TYPE         : %lu   %s\n", (unsigned long)config->dwStartType,
           start_type_name(config->dwStartType));
    printf("        BINARY_PATH_NAME   : %ls\n", config->lpBinaryPathName);
    printf("        DISPLAY_NAME       : %ls\n", config->lpDisplayName);
    print_recovery(service);
    free(config);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
