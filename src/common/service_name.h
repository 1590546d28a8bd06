#pragma once

// The service's name in the service control manager, and of its event
// source in the Application log.
inline constexpr char ServiceName[] = "Lumenfeld Browser Service";
