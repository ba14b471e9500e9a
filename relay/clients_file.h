// clients_file.h -- the invited clients kept in "$HOME/.vok/clients", so that a restarted
// relay serves them again: one "NAME PORT" line each, in order of admission.
#ifndef VOK_RELAY_CLIENTS_FILE_H
#define VOK_RELAY_CLIENTS_FILE_H

#include <stddef.h>

#include <string>
#include <vector>

struct KeptClient {
  std::string name;
  int port;
};

// At most this much of the file is read.
const size_t kClientsFileMax = 4096;

// The clients in text, in order: at most max of them, from whole lines whose
// name would be accepted in a request and whose port is 1 to 65535; other
// lines are passed over.
std::vector<KeptClient> parse_clients(const char* text, size_t len, int max);

// "$HOME/.vok/clients", or "" when HOME is unset.
std::string clients_path();

// Reads the file at path (nothing when it is missing or unreadable).
std::vector<KeptClient> read_clients(const std::string& path, int max);

// Replaces the file at path with clients, through a fresh temporary file
// (mode 0600) that is synced and renamed into place, making its directory
// (mode 0700) when missing; false on failure.
bool write_clients(const std::string& path, const std::vector<KeptClient>& clients);

#endif
