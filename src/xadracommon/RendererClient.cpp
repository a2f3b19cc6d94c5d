#include "RendererClient.h"

namespace xad::preview::api {

RendererClient::RendererClient(const std::string& url) {
    auto factory = Plume::SerializableFactory::newInstance();
    registerTypes(*factory);
    pool_ = Plume::RemotingClientPool::newInstance(1, 4, 60000, 3000, url, Plume::Sock::DeviceFactory::newInstance(),
                                                   factory);
    auto importer = Plume::BeanImporter::newInstance(pool_);
    registerInterfaces(importer->getRegistry());
    renderer_ = Plume::objCast<IHPGLRenderer>(importer->importObject("hpgsRenderer", IHPGLRenderer::INTERFACE_NAME));
}

RendererClient::~RendererClient() { pool_->shutdown(); }

}  // namespace xad::preview::api
