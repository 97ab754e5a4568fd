#include "protocol/catalogue.h"

#include <algorithm>

using namespace Qt::StringLiterals;

namespace batch {

const std::array<Operation, 12>& operations()
{
    // A function-local static is initialised once, even under concurrent first use.
    static const std::array<Operation, 12> table{{
        {OperationKind::Merge, u"merge"_s, u"合并 PDF"_s,
         u"按列表顺序，将多个 PDF 合成一份文档。可用上移、下移调整顺序。"_s, u"merge"_s, u"合并"_s},
        {OperationKind::Split, u"split"_s, u"批量拆分"_s,
         u"按指定页数分组拆分，每个源文件生成一个独立结果文件夹。"_s, u"split"_s, u"拆分"_s},
        {OperationKind::Extract, u"extract"_s, u"提取页面"_s,
         u"从每份 PDF 提取同一组页码，按原文档顺序另存。"_s, u"pages"_s, u"提取"_s},
        {OperationKind::Rotate, u"rotate"_s, u"批量旋转"_s,
         u"旋转全部或指定页面，在原页面角度上追加旋转。"_s, u"rotate"_s, u"旋转"_s},
        {OperationKind::Stamp, u"stamp"_s, u"页码与水印"_s,
         u"添加页码、Bates 编号和文字或图片水印；页码可搜索，水印可在阅读器中隐藏。"_s, u"stamp"_s,
         u"页码"_s},
        {OperationKind::Ocr, u"ocr"_s, u"批量文字识别"_s,
         u"为扫描 PDF 添加可搜索、可复制的文字层，支持中文与英文。"_s, u"ocr"_s, u"可搜索"_s},
        {OperationKind::Optimize, u"optimize"_s, u"无损优化"_s,
         u"清理无用对象、合并重复对象、无损重新压缩图片和数据流；页面显示完全不变。"_s,
         u"compress"_s, u"优化"_s},
        {OperationKind::Compress, u"compress"_s, u"压缩 PDF"_s,
         u"降低图片的分辨率和质量，让扫描件小到可以发送；文字、矢量和表单保持不变。"_s, u"shrink"_s,
         u"压缩"_s},
        {OperationKind::Encrypt, u"encrypt"_s, u"批量加密"_s,
         u"使用 AES-256 设置打开密码。每份文档另存为加密副本。"_s, u"lock"_s, u"加密"_s},
        {OperationKind::Decrypt, u"decrypt"_s, u"移除密码"_s,
         u"使用文档所有者密码验证权限后，另存为无需密码的副本。"_s, u"unlock"_s, u"无密码"_s},
        {OperationKind::ImagesToPdf, u"images2pdf"_s, u"图片转 PDF"_s,
         u"将 JPEG、PNG、TIFF、BMP 图片无损转为 PDF，每张一份或按列表顺序合为一份。"_s,
         u"picture"_s, u"转换"_s},
        {OperationKind::PdfToImages, u"pdf2images"_s, u"PDF 转图片"_s,
         u"将每页另存为 PNG、JPEG 或多页 TIFF 图片，每个源文件一个文件夹。"_s, u"image"_s,
         u"图片"_s},
    }};
    return table;
}

const Operation* findOperation(const QString& id)
{
    const auto& table = operations();
    const auto it =
        std::find_if(table.begin(), table.end(), [&](const Operation& op) { return op.id == id; });
    return it == table.end() ? nullptr : &*it;
}

} // namespace batch
