// `quorvin-release`: seals a release bundle and publishes it into a downloads folder that
// `quorvin-server --downloads` serves. scripts/quorvin-release drives it for real releases;
// the tests use it the same way.
#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>

#include "wire/Crypto.h"
#include "release/ReleaseBundle.h"

namespace fs = std::filesystem;
using namespace quorvin;

int main(int argc, char** argv) {
  CLI::App app{"Seal, sign and notarise a Quorvin release and publish it with its manifest"};
  std::string version, files, releaseKey, notaryKey, downloads, deb, source, publicKeyOf;
  app.add_option("--public-key", publicKeyOf, "Print the hex public key of this seed file and exit")
      ->check(CLI::ExistingFile);
  app.add_option("--version", version, "The release's version (dotted numbers)");
  app.add_option("--files", files, "Installed tree of the release (bin/quorvin, ...)")->check(CLI::ExistingDirectory);
  app.add_option("--release-key", releaseKey, "Release signing key: 64 hex digits of an Ed25519 seed")
      ->check(CLI::ExistingFile);
  app.add_option("--notary-key", notaryKey, "Notary key: 64 hex digits of an Ed25519 seed")->check(CLI::ExistingFile);
  app.add_option("--downloads", downloads, "Folder to publish into");
  app.add_option("--deb", deb, "The release's .deb")->check(CLI::ExistingFile);
  app.add_option("--source", source, "The release's source tarball")->check(CLI::ExistingFile);
  CLI11_PARSE(app, argc, argv);

  try {
    if (!publicKeyOf.empty()) {
      const auto key = crypto::ed25519PublicKey(release::readSeedFile(publicKeyOf));
      if (!key) throw std::runtime_error("the seed was refused");
      std::cout << crypto::hex(*key) << '\n';
      return 0;
    }
    for (const auto* required : {&version, &files, &releaseKey, &notaryKey, &downloads, &deb, &source}) {
      if (required->empty()) {
        std::cerr << "quorvin-release: --version, --files, --release-key, --notary-key, --downloads, --deb and "
                     "--source are required\n";
        return 2;
      }
    }
    if (!UpdateChecker::isUsableVersion(version)) throw std::runtime_error("unusable version: " + version);
    const fs::path work = fs::temp_directory_path() / ("quorvin-release-" + crypto::randomHex(6));
    fs::create_directories(work);
    struct Cleanup {
      fs::path path;
      ~Cleanup() {
        std::error_code ec;
        fs::remove_all(path, ec);
      }
    } cleanup{work};
    const fs::path bundle = work / "Quorvin";
    fs::copy(files, bundle, fs::copy_options::recursive);
    release::sealRelease(bundle, version, release::readSeedFile(releaseKey), release::readSeedFile(notaryKey));
    const fs::path tarball = work / std::string(UpdateChecker::kTarballFile);
    release::packTarball(bundle, tarball);
    release::publish(downloads, version, tarball, deb, source);
    std::cout << "published Quorvin " << version << " in " << downloads << '\n';
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "quorvin-release: " << error.what() << '\n';
    return 1;
  }
}
