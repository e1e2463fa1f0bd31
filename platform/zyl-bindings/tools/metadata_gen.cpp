// zyl-metadata-gen OUTPUT: writes the daemon's API metadata file (cli, metamodel, authentication
// and authorization sections) generated from the service tables.
#include <zyl-bindings/services.h>

#include <mirel/metadata_gen.h>

#include <boost/json/serialize.hpp>

#include <cstdio>
#include <fstream>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
    return 2;
  }
  const auto document = Mirel::Metadata::BuildMetadataDocument(Zyl::Bindings::AllServices(),
                                                               Zyl::Bindings::MetadataOptions());
  std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
  out << boost::json::serialize(document) << '\n';
  out.close();
  if (!out) {
    std::fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
    return 1;
  }
  return 0;
}
