/*
 * svcconfig NAME: prints a service's configuration as "sc qc NAME" does (the lines
 * BINARY_PATH_NAME, START_TYPE, TYPE and DISPLAY_NAME), from the service control manager.
 * Wine's sc has no qc command; this asks the same manager through QueryServiceConfigW.
 * Exit status: 0 printed, 1 no such service, 2 other failure.
 */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

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
    free(config);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
