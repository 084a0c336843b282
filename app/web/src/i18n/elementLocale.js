// Element Plus's own texts (dialogs, pickers) in the page language.
import zhCn from 'element-plus/es/locale/lang/zh-cn'
import en from 'element-plus/es/locale/lang/en'
import de from 'element-plus/es/locale/lang/de'
import ja from 'element-plus/es/locale/lang/ja'
import fr from 'element-plus/es/locale/lang/fr'
import es from 'element-plus/es/locale/lang/es'
import ptBr from 'element-plus/es/locale/lang/pt-br'

const LOCALES = { 'zh-CN': zhCn, 'en-US': en, 'de-DE': de, 'ja-JP': ja, 'fr-FR': fr, 'es-ES': es, 'pt-BR': ptBr }

export const elementLocale = (code) => LOCALES[code] || en
