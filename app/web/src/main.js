import { createApp } from 'vue'
import { createPinia } from 'pinia'
import ElementPlus from 'element-plus'
import 'element-plus/dist/index.css'
import 'element-plus/theme-chalk/dark/css-vars.css'
import './styles.css'
import App from './App.vue'
import { lang } from './i18n/index.js'
import { useSettingsStore } from './stores/settings.js'
import { installPageGuards } from './lib/pageGuards.js'

document.documentElement.lang = lang.value
installPageGuards(document)
// Files dropped next to a drop zone must not make the browser navigate away from the page.
window.addEventListener('dragover', (e) => e.preventDefault())
window.addEventListener('drop', (e) => e.preventDefault())

const app = createApp(App)
app.use(createPinia())
app.use(ElementPlus)
useSettingsStore().watchSystemTheme()
app.mount('#app')
