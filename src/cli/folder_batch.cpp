#include "cli/folder_batch.h"

#include <filesystem>
#include <map>
#include <system_error>

namespace ovk::cli {

void add_folder_batch_options(CLI::App& command, FolderBatchOptions& options) {
  command
      .add_option("--output-dir", options.output_dir,
                  "Write each recording of PATH... into DIR under its relative path (folders "
                  "are walked as sweep walks them)")
      ->type_name("DIR");
  add_shard_option(command, options.shard);
  command.add_flag("--resume", options.resume,
                   "With --output-dir: skip recordings whose output exists");
}

void check_folder_batch_usage(const std::vector<std::string>& paths, const std::string& output,
                              const FolderBatchOptions& options) {
  if (options.output_dir.empty()) {
    if (options.shard || options.resume) {
      throw CLI::ValidationError("--shard/--resume", "need --output-dir");
    }
    if (output.empty()) throw CLI::ValidationError("--output", "-o or --output-dir is required");
    std::error_code error;
    if (paths.size() != 1 || std::filesystem::is_directory(paths.front(), error)) {
      throw CLI::ValidationError("--output", "several recordings or a folder need --output-dir");
    }
    return;
  }
  if (!output.empty()) throw CLI::ValidationError("--output", "give -o or --output-dir, not both");
}

bool run_folder_batch(const std::vector<std::string>& paths, ReaderChoice reader,
                      const FolderBatchOptions& options, std::string_view extension,
                      const std::function<bool(const std::string&, const std::string&)>& convert_one) {
  const std::vector<ListedRecording> listed = list_recordings(paths, reader);
  std::map<std::string, std::string> relative_of;
  for (const ListedRecording& recording : listed) relative_of[recording.path] = recording.relative;
  bool all_ok = true;
  std::map<std::string, std::string> written;  // output: input
  for (const std::string& input : shard_paths(listed, options.shard)) {
    std::filesystem::path relative(relative_of.at(input));
    relative.replace_extension(extension);
    const std::string output = (std::filesystem::path(options.output_dir) / relative).string();
    const auto [earlier, added] = written.emplace(output, input);
    if (!added) {
      print_failure(input, "its output " + output + " is also that of " + earlier->second);
      all_ok = false;
      continue;
    }
    std::error_code error;
    if (options.resume && std::filesystem::exists(output, error)) continue;
    std::filesystem::create_directories(std::filesystem::path(output).parent_path(), error);
    if (error) {
      print_failure(output, error.message());
      all_ok = false;
      continue;
    }
    all_ok = convert_one(input, output) && all_ok;
  }
  return all_ok;
}

}  // namespace ovk::cli
