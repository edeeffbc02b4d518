# The web console's assets for `pmconsole serve`: the pages from assets/, and the chart library
# (uPlot) installed from the npm registry into the build by `npm ci` (package.json and its
# lock file here), embedded into the program as byte arrays. Defines PM_WEB_ASSETS_CPP.
set(pm_web_dir ${PROJECT_SOURCE_DIR}/outside/webconsole)
set(pm_web_npm ${CMAKE_BINARY_DIR}/webconsole-npm)
set(pm_uplot_js ${pm_web_npm}/node_modules/uplot/dist/uPlot.iife.min.js)
set(pm_uplot_css ${pm_web_npm}/node_modules/uplot/dist/uPlot.min.css)
find_program(PM_NPM npm)
set(pm_web_depends)
if(PM_NPM)
    add_custom_command(OUTPUT ${pm_uplot_js} ${pm_uplot_css}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${pm_web_npm}
        COMMAND ${CMAKE_COMMAND} -E copy ${pm_web_dir}/package.json ${pm_web_dir}/package-lock.json
            ${pm_web_npm}/
        COMMAND ${PM_NPM} ci --no-audit --no-fund --ignore-scripts --loglevel=error
        WORKING_DIRECTORY ${pm_web_npm}
        DEPENDS ${pm_web_dir}/package.json ${pm_web_dir}/package-lock.json
        COMMENT "npm ci: the web console's chart library")
    set(pm_web_depends ${pm_uplot_js} ${pm_uplot_css})
else()
    message(STATUS "npm not found (Debian: npm): the web console is built without its charts")
endif()
# URL|TYPE|PATH entries joined by '@' (a list's ';' would split the command's argument).
set(pm_web_assets "/index.html|text/html|${pm_web_dir}/assets/index.html@\
/app.js|text/javascript|${pm_web_dir}/assets/app.js@\
/style.css|text/css|${pm_web_dir}/assets/style.css@\
/uplot.js|text/javascript|${pm_uplot_js}@\
/uplot.css|text/css|${pm_uplot_css}")
set(PM_WEB_ASSETS_CPP ${CMAKE_CURRENT_BINARY_DIR}/serve_assets.cpp)
add_custom_command(OUTPUT ${PM_WEB_ASSETS_CPP}
    COMMAND ${CMAKE_COMMAND} "-DOUT=${PM_WEB_ASSETS_CPP}" "-DASSETS=${pm_web_assets}"
        -P ${pm_web_dir}/embed_assets.cmake
    VERBATIM
    DEPENDS ${pm_web_dir}/embed_assets.cmake ${pm_web_dir}/assets/index.html
        ${pm_web_dir}/assets/app.js ${pm_web_dir}/assets/style.css ${pm_web_depends}
    COMMENT "Embedding the web console's assets")
