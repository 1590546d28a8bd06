/* A DLL that lies beside the tests, as one planted beside a program would. */
__declspec(dllexport) int PlantedProbe(void) { return 1; }
