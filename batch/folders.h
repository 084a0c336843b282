// Folders for the output, made as needed.
#pragma once

#include <string>

namespace quevro::batch {

// Creates a folder and its missing parents; an error text or "".
std::string make_folders(const std::string& path);

// Creates the folder a file is to go into; an error text or "".
std::string make_parent_folders(const std::string& file_path);

}  // namespace quevro::batch
