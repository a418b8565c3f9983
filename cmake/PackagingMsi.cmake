# The per-machine MSI, made with Debian's msitools (wixl) from the files the install step lists:
# Program Files\Corvin for the program, C:\ProgramData\Corvin as the Start-menu entry's working
# folder (log and dump folders; Windows lets every user create files there), a Start-menu entry
# for all users, and an uninstall entry with the support address that a higher version replaces
# in place (a lower one is refused). Files in use by a running Corvin are replaced at the next
# restart (exit code 3010); the package never restarts Windows itself. config.ini is made from
# the example only where there is none and stays on uninstall; a new one gets the site's service
# address from the public property CORVINHOST when that is given
# (msiexec /i corvin-<version>-win64.msi CORVINHOST=https://...).
# Run by cpack as the External generator's script, or on its own:
#   cmake -DCORVIN_MSI_STAGING=<unpacked zip> -DCORVIN_MSI_VERSION=<x.y.z> \
#         -DCORVIN_MSI_OUTPUT=<file.msi> [-DCORVIN_SUPPORT_URL=<address>] -P PackagingMsi.cmake
# cpack also puts the Group Policy templates (packaging/policy) beside the MSI.
cmake_minimum_required(VERSION 3.16)

# Fixed for every version: the product family that upgrades replace, and the namespace of the
# components' ids (the same file keeps its component from version to version).
set(upgrade_code 183D728C-5D2C-4760-A505-641E1D3A101D)
set(component_namespace 8cbf4b3e-5055-4b53-a590-e45a66287067)
get_filename_component(source_dir "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

function(corvin_id prefix path out)
    string(MAKE_C_IDENTIFIER "${path}" id)
    string(MD5 hash "${path}")
    string(SUBSTRING "${hash}" 0 8 hash)
    set(${out} "${prefix}_${hash}_${id}" PARENT_SCOPE)
endfunction()

function(corvin_guid path out)
    string(UUID guid NAMESPACE ${component_namespace} NAME "${path}" TYPE SHA1 UPPER)
    set(${out} ${guid} PARENT_SCOPE)
endfunction()

function(corvin_run)
    cmake_parse_arguments(PARSE_ARGV 0 run "" WORKING_DIRECTORY "")
    if(NOT run_WORKING_DIRECTORY)
        set(run_WORKING_DIRECTORY .)
    endif()
    execute_process(COMMAND ${run_UNPARSED_ARGUMENTS} WORKING_DIRECTORY "${run_WORKING_DIRECTORY}"
        RESULT_VARIABLE result OUTPUT_VARIABLE output
        ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
        string(REPLACE ";" " " line "${ARGN}")
        message(FATAL_ERROR "${line} failed (${result}): ${output}")
    endif()
endfunction()

# The <Directory>/<Component> tree of one staged folder; the component ids go to `refs`.
function(corvin_wxs_folder staging relative indent out refs)
    set(xml "")
    set(ids "")
    file(GLOB entries LIST_DIRECTORIES true RELATIVE "${staging}/${relative}"
        "${staging}/${relative}/*")
    list(SORT entries)
    foreach(name ${entries})
        if(relative)
            set(path "${relative}/${name}")
        else()
            set(path "${name}")
        endif()
        if(path STREQUAL "dump" OR path STREQUAL "config.ini" OR path STREQUAL "policy")
            continue() # the data folder and the site's settings are made below; IT's templates
        endif()
        if(IS_DIRECTORY "${staging}/${path}")
            corvin_id(d "${path}" dir_id)
            corvin_wxs_folder("${staging}" "${path}" "${indent}  " inner inner_ids)
            string(APPEND xml "${indent}<Directory Id=\"${dir_id}\" Name=\"${name}\">\n${inner}"
                "${indent}</Directory>\n")
            list(APPEND ids ${inner_ids})
        else()
            corvin_id(c "${path}" component_id)
            corvin_id(f "${path}" file_id)
            corvin_guid("${path}" guid)
            string(APPEND xml "${indent}<Component Id=\"${component_id}\" Guid=\"${guid}\" Win64=\"yes\">"
                "<File Id=\"${file_id}\" Source=\"${path}\" KeyPath=\"yes\"/></Component>\n")
            list(APPEND ids ${component_id})
        endif()
    endforeach()
    set(${out} "${xml}" PARENT_SCOPE)
    set(${refs} "${ids}" PARENT_SCOPE)
endfunction()

function(corvin_make_msi staging version support_url output work)
    macro(msi_sql query)
        corvin_run("${msibuild}" "${output}" -q "${query}")
    endmacro()
    if(NOT EXISTS "${staging}/corvin.exe" OR NOT EXISTS "${staging}/config.ini.example")
        message(FATAL_ERROR "No corvin.exe and config.ini.example in ${staging}")
    endif()
    find_program(wixl wixl)
    find_program(msibuild msibuild)
    if(NOT wixl OR NOT msibuild)
        message(FATAL_ERROR "The MSI needs wixl and msibuild (Debian packages wixl, msitools)")
    endif()
    corvin_wxs_folder("${staging}" "" "          " program_xml program_ids)
    set(refs "")
    foreach(id ${program_ids} ConfigIni SiteAddress DumpFolder MenuEntry)
        string(APPEND refs "      <ComponentRef Id=\"${id}\"/>\n")
    endforeach()
    corvin_guid(config.ini config_guid)
    corvin_guid(site site_guid)
    corvin_guid(dump dump_guid)
    corvin_guid(menu menu_guid)
    file(MAKE_DIRECTORY "${work}")
    set(support_xml "")
    if(support_url)
        foreach(pair "&;&amp;" "<;&lt;" ">;&gt;" "\";&quot;")
            list(GET pair 0 from)
            list(GET pair 1 to)
            string(REPLACE "${from}" "${to}" support_url "${support_url}")
        endforeach()
        # Help and About links of the installed programs list.
        foreach(property ARPHELPLINK ARPURLINFOABOUT)
            string(APPEND support_xml "    <Property Id=\"${property}\" Value=\"${support_url}\"/>\n")
        endforeach()
    endif()
    file(RELATIVE_PATH icon "${staging}" "${source_dir}/src/app/resources/corvin.ico")
    set(wxs "${work}/corvin.wxs")
    file(WRITE "${wxs}" "<?xml version=\"1.0\" encoding=\"utf-8\"?>
<Wix xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">
  <Product Id=\"*\" Name=\"Corvin\" Language=\"1033\" Version=\"${version}\" Manufacturer=\"Corvin\"
           UpgradeCode=\"${upgrade_code}\">
    <Package InstallerVersion=\"500\" Compressed=\"yes\" InstallScope=\"perMachine\" Platform=\"x64\"
             Description=\"Corvin ${version}\" Manufacturer=\"Corvin\"/>
    <MajorUpgrade DowngradeErrorMessage=\"A newer version of Corvin is already installed.\"/>
    <Media Id=\"1\" Cabinet=\"corvin.cab\" EmbedCab=\"yes\"/>
    <Icon Id=\"corvin.ico\" SourceFile=\"${icon}\"/>
    <Property Id=\"ARPPRODUCTICON\" Value=\"corvin.ico\"/>
${support_xml}    <!-- A silent install over a running Corvin must not restart a teacher's computer: files in
         use are replaced at the next restart and msiexec ends with 3010. -->
    <Property Id=\"REBOOT\" Value=\"ReallySuppress\"/>
    <Directory Id=\"TARGETDIR\" Name=\"SourceDir\">
      <Directory Id=\"ProgramFiles64Folder\">
        <Directory Id=\"INSTALLDIR\" Name=\"Corvin\">
${program_xml}          <Component Id=\"ConfigIni\" Guid=\"${config_guid}\" Win64=\"yes\">
            <File Id=\"ConfigIni\" Name=\"config.ini\" Source=\"config.ini.example\" KeyPath=\"yes\"/>
          </Component>
          <Component Id=\"SiteAddress\" Guid=\"${site_guid}\" Win64=\"yes\">
            <RegistryValue Root=\"HKLM\" Key=\"Software\\Corvin\" Name=\"SiteAddress\" Type=\"string\"
                           Value=\"[CORVINHOST]\" KeyPath=\"yes\"/>
          </Component>
        </Directory>
      </Directory>
      <Directory Id=\"CommonAppDataFolder\">
        <Directory Id=\"WORKINGFOLDER\" Name=\"Corvin\">
          <Directory Id=\"DUMPDIR\" Name=\"dump\">
            <Component Id=\"DumpFolder\" Guid=\"${dump_guid}\" Win64=\"yes\" KeyPath=\"yes\">
              <CreateFolder/>
            </Component>
          </Directory>
        </Directory>
      </Directory>
      <Directory Id=\"ProgramMenuFolder\">
        <Directory Id=\"MENUDIR\" Name=\"Corvin\">
          <Component Id=\"MenuEntry\" Guid=\"${menu_guid}\" Win64=\"yes\">
            <Shortcut Id=\"CorvinShortcut\" Name=\"Corvin\" Target=\"[INSTALLDIR]corvin.exe\"
                      WorkingDirectory=\"WORKINGFOLDER\"/>
            <RemoveFolder Id=\"RemoveMenuDir\" On=\"uninstall\"/>
            <RegistryValue Root=\"HKLM\" Key=\"Software\\Corvin\" Name=\"StartMenuEntry\" Type=\"integer\"
                           Value=\"1\" KeyPath=\"yes\"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id=\"Corvin\" Title=\"Corvin\" Level=\"1\">
${refs}    </Feature>
  </Product>
</Wix>
")
    file(REMOVE "${output}")
    # wixl takes sources relative to its working folder only.
    corvin_run("${wixl}" -a x64 -o "${output}" "${wxs}" WORKING_DIRECTORY "${staging}")
    # wixl ignores Permanent and NeverOverwrite: 256 (64-bit) + 16 (permanent) + 128 (never
    # overwrite) for the site's config.ini.
    msi_sql("UPDATE `Component` SET `Attributes` = 400 WHERE `Component` = 'ConfigIni'")
    # The site's address: wixl has no IniFile nor file search, so the tables are written here.
    # Its component is installed only when the address is given and there was no config.ini
    # before (the search runs before an upgrade removes anything), and is permanent: uninstalling
    # must not take the line out of the site's file again.
    msi_sql("CREATE TABLE `IniFile` (`IniFile` CHAR(72) NOT NULL, `FileName` CHAR(255) NOT NULL LOCALIZABLE, `DirProperty` CHAR(72), `Section` CHAR(96) NOT NULL LOCALIZABLE, `Key` CHAR(128) NOT NULL LOCALIZABLE, `Value` CHAR(255) NOT NULL LOCALIZABLE, `Action` SHORT NOT NULL, `Component_` CHAR(72) NOT NULL PRIMARY KEY `IniFile`)")
    msi_sql("INSERT INTO `IniFile` (`IniFile`, `FileName`, `DirProperty`, `Section`, `Key`, `Value`, `Action`, `Component_`) VALUES ('CorvinHost', 'config.ini', 'INSTALLDIR', 'Server', 'CorvinHost', '[CORVINHOST]', 0, 'SiteAddress')")
    msi_sql("CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), `Depth` SHORT PRIMARY KEY `Signature_`, `Parent`, `Path`)")
    msi_sql("INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('ConfigIniFile', '[ProgramFiles64Folder]Corvin', 0)")
    msi_sql("INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('ConfigIniFile', 'config.ini')")
    msi_sql("INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('CONFIGINI_FOUND', 'ConfigIniFile')")
    msi_sql("UPDATE `Component` SET `Attributes` = 272, `Condition` = 'CORVINHOST AND NOT CONFIGINI_FOUND' WHERE `Component` = 'SiteAddress'")
    foreach(sequence InstallExecuteSequence InstallUISequence)
        msi_sql("INSERT INTO `${sequence}` (`Action`, `Sequence`) VALUES ('AppSearch', 50)")
    endforeach()
    foreach(action "RemoveIniValues', 3800" "WriteIniValues', 5100")
        msi_sql("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('${action})")
    endforeach()
    # Passed on from the msiexec line to the installation itself also where that runs elevated.
    msi_sql("UPDATE `Property` SET `Value` = 'CONFIGINI_FOUND;CORVINHOST;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'")
endfunction()

if(CORVIN_MSI_STAGING)
    get_filename_component(output "${CORVIN_MSI_OUTPUT}" ABSOLUTE)
    get_filename_component(work "${output}" DIRECTORY)
    corvin_make_msi("${CORVIN_MSI_STAGING}" "${CORVIN_MSI_VERSION}" "${CORVIN_SUPPORT_URL}" "${output}"
        "${work}/msi-work")
else()
    # cpack's staging: the install tree, below a folder per component.
    file(GLOB_RECURSE exe "${CPACK_TEMPORARY_DIRECTORY}/${CPACK_CORVIN_EXECUTABLE}")
    get_filename_component(staging "${exe}" DIRECTORY)
    set(output "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.msi")
    corvin_make_msi("${staging}" "${CPACK_PACKAGE_VERSION}" "${CPACK_CORVIN_SUPPORT_URL}" "${output}"
        "${CPACK_TOPLEVEL_DIRECTORY}/msi")
    set(CPACK_EXTERNAL_BUILT_PACKAGES "${output}")
    # IT copies the templates from here into the central store (README, "Group Policy").
    file(REMOVE_RECURSE "${CPACK_PACKAGE_DIRECTORY}/policy")
    file(COPY "${source_dir}/packaging/policy" DESTINATION "${CPACK_PACKAGE_DIRECTORY}")
endif()
